#pragma once

#include <optional>
#include <string>

namespace kestrel {

// A failure of a control-path operation: the domain names the component ("WebcamCapture",
// "LoopPlayer"), the code is small and stable, the description is what logs and users see.
struct Error {
    std::string domain;
    int code = 0;
    std::string description;
};

// What an operation that can fail returns: nothing on success, the error otherwise.
using MaybeError = std::optional<Error>;

}  // namespace kestrel

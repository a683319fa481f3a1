#pragma once

#include <QByteArray>

#include <functional>
#include <string>
#include <variant>

namespace kestrel {

// Fetches an update feed: its bytes, or a sentence saying why there are none.
class FeedFetcher {
  public:
    using Result = std::variant<QByteArray, std::string>;
    using Done = std::function<void(Result)>;

    virtual ~FeedFetcher() = default;
    // `done` runs exactly once, later, on the main thread.
    virtual void fetch(const std::string& url, Done done) = 0;
};

}  // namespace kestrel

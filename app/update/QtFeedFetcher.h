#pragma once

#include <QUrl>

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

#include "app/update/FeedFetcher.h"
#include "platform/runtime/Executor.h"

namespace kestrel {

// Fetches feeds with Qt Network, on the main thread. Only https addresses are fetched, and plain
// http to this machine's loopback address (a local mirror or a test); a redirect must lead to an
// address of the same kind. Feeds are small: a body over `maxBytes` or an answer that takes longer
// than `timeLimit` in all fails, so a wrong or hostile server can neither fill memory nor hold a
// check open.
class QtFeedFetcher final : public FeedFetcher {
  public:
    struct Limits {
        std::size_t maxBytes = std::size_t{1} << 20U;
        Nanos timeLimit = std::chrono::seconds(20);
        int maxRedirects = 5;
    };

    explicit QtFeedFetcher(Executor& executor) : QtFeedFetcher(executor, Limits{}) {}
    QtFeedFetcher(Executor& executor, Limits limits);
    ~QtFeedFetcher() override;

    void fetch(const std::string& url, Done done) override;

    // Why `url` may not be fetched, or nothing when it may.
    static std::optional<std::string> addressProblem(const QUrl& url);

  private:
    struct Fetch;
    void finish(const std::shared_ptr<Fetch>& fetch, Result result);
    std::string tooLarge() const;

    Executor& executor_;
    Limits limits_;
    std::vector<std::shared_ptr<Fetch>> fetches_;
};

}  // namespace kestrel

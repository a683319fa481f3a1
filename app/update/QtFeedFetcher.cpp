#include "app/update/QtFeedFetcher.h"

#include <QHostAddress>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <algorithm>
#include <cstdio>

namespace kestrel {

namespace {

bool isLoopback(const QUrl& url) {
    const QString host = url.host();
    return host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0 ||
           QHostAddress(host).isLoopback();
}

std::string quoted(const QUrl& url) {
    return "\"" + url.toDisplayString().toStdString() + "\"";
}

}  // namespace

struct QtFeedFetcher::Fetch {
    std::unique_ptr<QNetworkAccessManager> manager;
    QNetworkReply* reply = nullptr;  // the manager's child
    QByteArray body;
    Done done;
};

QtFeedFetcher::QtFeedFetcher(Executor& executor, Limits limits)
    : executor_(executor), limits_(limits) {}

QtFeedFetcher::~QtFeedFetcher() {
    for (const auto& fetch : fetches_) {
        QObject::disconnect(fetch->reply, nullptr, nullptr, nullptr);
    }
}

std::optional<std::string> QtFeedFetcher::addressProblem(const QUrl& url) {
    if (!url.isValid() || url.host().isEmpty()) {
        return quoted(url) + " is not a web address";
    }
    if (url.scheme() == QLatin1String("https") ||
        (url.scheme() == QLatin1String("http") && isLoopback(url))) {
        return std::nullopt;
    }
    return quoted(url) + " is not an https address";
}

void QtFeedFetcher::fetch(const std::string& address, Done done) {
    const QUrl url(QString::fromStdString(address), QUrl::StrictMode);
    if (auto problem = addressProblem(url)) {
        executor_.post([done = std::move(done),
                        problem = "cannot use the update feed: " + *problem]() { done(problem); });
        return;
    }
    auto fetch = std::make_shared<Fetch>();
    fetch->done = std::move(done);
    fetch->manager = std::make_unique<QNetworkAccessManager>();
    if (isLoopback(url)) {
        // A proxy elsewhere cannot reach this machine's loopback.
        fetch->manager->setProxy(QNetworkProxy::NoProxy);
    }
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::UserVerifiedRedirectPolicy);
    request.setMaximumRedirectsAllowed(limits_.maxRedirects);
    request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("Kestrel"));
    QNetworkReply* reply = fetch->manager->get(request);
    fetch->reply = reply;
    fetches_.push_back(fetch);

    // Each handler finds its fetch through a weak reference: once finished, it is gone.
    std::weak_ptr<Fetch> weak = fetch;
    QObject::connect(reply, &QNetworkReply::redirected, reply, [this, weak](const QUrl& to) {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        if (auto problem = addressProblem(to)) {
            finish(self, "the update feed redirected elsewhere, and " + *problem);
            return;
        }
        Q_EMIT self->reply->redirectAllowed();
    });
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [this, weak] {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        self->body += self->reply->readAll();
        if (static_cast<std::size_t>(self->body.size()) > limits_.maxBytes) {
            finish(self, tooLarge());
        }
    });
    QObject::connect(reply, &QNetworkReply::finished, reply, [this, weak] {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        QNetworkReply& answer = *self->reply;
        const int status = answer.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (status != 0 && (status < 200 || status > 299)) {
            finish(self, "the update feed answered HTTP " + std::to_string(status));
        } else if (answer.error() != QNetworkReply::NoError) {
            finish(self, "cannot fetch the update feed: " + answer.errorString().toStdString());
        } else {
            self->body += answer.readAll();
            if (static_cast<std::size_t>(self->body.size()) > limits_.maxBytes) {
                finish(self, tooLarge());
            } else {
                finish(self, std::move(self->body));
            }
        }
    });
    const auto seconds = std::chrono::duration<double>(limits_.timeLimit).count();
    executor_.postAfter(limits_.timeLimit, [this, weak, seconds] {
        if (auto self = weak.lock()) {
            char text[32];
            std::snprintf(text, sizeof text, "%g", seconds);
            finish(self, std::string("the update feed did not arrive within ") + text + " s");
        }
    });
}

std::string QtFeedFetcher::tooLarge() const {
    return "the update feed is larger than " + std::to_string(limits_.maxBytes / 1024) + " KiB";
}

void QtFeedFetcher::finish(const std::shared_ptr<Fetch>& fetch, Result result) {
    QObject::disconnect(fetch->reply, nullptr, nullptr, nullptr);
    fetch->reply->abort();
    // We may be inside one of the reply's signals: delete the manager, and with it the reply,
    // once control is back in the event loop.
    fetch->manager.release()->deleteLater();
    std::erase(fetches_, fetch);
    executor_.post([done = std::move(fetch->done), result = std::move(result)]() { done(result); });
}

}  // namespace kestrel

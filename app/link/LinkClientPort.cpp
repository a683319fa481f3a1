#include "app/link/CameraLinkPort.h"
#include "platform/link/LinkClient.h"

namespace kestrel {

namespace {

class LinkSinkQueue final : public SinkQueuePort {
  public:
    explicit LinkSinkQueue(std::shared_ptr<link::SinkQueue> queue) : queue_(std::move(queue)) {}
    std::int32_t count() const override { return queue_->count(); }
    std::int32_t capacity() const override { return queue_->capacity(); }
    link::Status enqueue(const PixelBuffer& frame, MediaTime presentationTime,
                         MediaTime duration) override {
        return queue_->enqueue(frame, presentationTime, duration);
    }

  private:
    std::shared_ptr<link::SinkQueue> queue_;
};

}  // namespace

link::Status LinkClientPort::setProperty(link::ObjectId object, std::uint32_t selector,
                                         std::uint32_t value) {
    return client_.setProperty(object, selector, link::PropertyValue{value});
}

link::Status LinkClientPort::getProperty(link::ObjectId object, std::uint32_t selector,
                                         std::string& value) {
    return client_.getProperty(object, selector, value);
}

link::Status LinkClientPort::getProperty(link::ObjectId object, std::uint32_t selector,
                                         std::uint32_t& value) {
    return client_.getProperty(object, selector, value);
}

link::Status LinkClientPort::getProperty(link::ObjectId object, std::uint32_t selector,
                                         std::vector<std::uint32_t>& value) {
    return client_.getProperty(object, selector, value);
}

link::Status LinkClientPort::addDevicesListener(std::function<void()> listener,
                                                Handle& registration) {
    return client_.addDevicesListener(std::move(listener), registration);
}

link::Status LinkClientPort::copyBufferQueue(link::ObjectId stream, std::function<void()> altered,
                                             std::shared_ptr<SinkQueuePort>& queue) {
    std::shared_ptr<link::SinkQueue> linkQueue;
    const link::Status status = client_.copyBufferQueue(stream, std::move(altered), linkQueue);
    if (status == link::status::ok && linkQueue) {
        // A daemon that takes 4:2:0 frames gets them: its outputs start from YUV planes anyway.
        std::vector<std::uint32_t> formats;  // pixel format, width, height, ...
        if (client_.getProperty(stream, link::property::formats, formats) == link::status::ok) {
            for (std::size_t i = 0; i < formats.size(); i += 3) {
                if (formats[i] == link::kI420) {
                    linkQueue->setPixelFormat(link::kI420);
                }
            }
        }
        queue = std::make_shared<LinkSinkQueue>(std::move(linkQueue));
    }
    return status;
}

link::Status LinkClientPort::startStream(link::ObjectId device, link::ObjectId stream) {
    return client_.startStream(device, stream);
}

LinkClientThread::LinkClientThread()
    : worker_(std::make_unique<WorkerThread>("dev.corvid.kestrel.link")),
      client_(std::make_unique<link::LinkClient>(*worker_)),
      port_(std::make_unique<LinkClientPort>(*client_)) {}

LinkClientThread::~LinkClientThread() {
    worker_->runSync([this] {
        port_.reset();
        client_.reset();
    });
    worker_.reset();
}

link::Status LinkClientPort::stopStream(link::ObjectId device, link::ObjectId stream) {
    return client_.stopStream(device, stream);
}

}  // namespace kestrel

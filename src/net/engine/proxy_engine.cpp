#include "net/engine/proxy_engine.h"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "net/engine/connection_table.h"
#include "net/engine/engine_context.h"

struct ProxyEngine::Engine {
    // One thread runs the context, which lets Asio skip work meant for several.
    asio::io_context io{1};
    asio::executor_work_guard<asio::io_context::executor_type> keepRunning{io.get_executor()};
    EngineContext context{io};
    ConnectionTable table{context};
    bool isRunning = false; // window's thread only
    std::thread thread;

    // Runs job on the engine's thread; job calls its argument, from that thread, once it is
    // done, and only then does this return. What both threads touch lives in a shared state of
    // its own, so nothing on the engine's side refers to this function's frame.
    void waitFor(std::function<void(std::function<void()> done)> job)
    {
        struct Handshake {
            std::mutex lock;
            std::condition_variable finished;
            bool isFinished = false;
        };
        const auto handshake = std::make_shared<Handshake>();
        asio::post(io, [handshake, job = std::move(job)] {
            job([handshake] {
                std::lock_guard<std::mutex> guard(handshake->lock);
                handshake->isFinished = true;
                handshake->finished.notify_one();
            });
        });
        std::unique_lock<std::mutex> guard(handshake->lock);
        handshake->finished.wait(guard, [&] { return handshake->isFinished; });
    }
};

ProxyEngine::ProxyEngine() : d(std::make_unique<Engine>())
{
    d->thread = std::thread([engine = d.get()] { engine->io.run(); });
}

ProxyEngine::~ProxyEngine()
{
    Stop();
    d->keepRunning.reset();
    d->io.stop();
    d->thread.join();
}

ProxyEngine::Listening ProxyEngine::Listen(quint16 port)
{
    Listening result;
    d->waitFor([&](std::function<void()> done) {
        result.isListening = d->table.Listen(port, result.port, result.failure);
        done();
    });
    d->isRunning = result.isListening;
    return result;
}

void ProxyEngine::Serve(RequestLog *log, std::function<void(int)> counter,
                        std::shared_ptr<const CertificateAuthority> inspectionCa,
                        std::shared_ptr<RequestRecorder> records)
{
    // The trust store is loaded here, on the window's thread, so that the engine never waits
    // for a file.
    std::shared_ptr<const TlsInspection> inspection = TlsInspection::make(std::move(inspectionCa));
    asio::post(d->io, [engine = d.get(), log, counter = std::move(counter),
                       inspection = std::move(inspection), records = std::move(records)]() mutable {
        engine->context.log = log;
        engine->context.records = std::move(records);
        engine->context.inspection = std::move(inspection);
        engine->table.setCounterReport(std::move(counter));
        engine->table.startAccepting();
    });
}

// Bounded: the closes still lingering are cut off after the grace, and nothing else on the
// engine's thread waits for a peer.
void ProxyEngine::Stop()
{
    if (!d->isRunning)
        return;
    d->isRunning = false;
    d->waitFor([engine = d.get()](std::function<void()> done) {
        engine->context.log = nullptr;
        engine->context.inspection.reset();
        engine->context.browserLeaves.clear();
        engine->table.setCounterReport(nullptr);
        engine->table.CloseAll();
        // After the sessions, which record how their last requests ended as they close.
        engine->context.records.reset();
        engine->context.resolver.cancel();
        engine->context.closing.finishAll(std::chrono::milliseconds(kStopGraceMilliseconds),
                                          std::move(done));
    });
}

void ProxyEngine::setSettings(std::shared_ptr<const ProxySettings> settings)
{
    d->context.setSettings(std::move(settings));
}

// Taking many small frames out of one receive buffer: the erasing form of
// takeFrame moves the rest of the buffer after every frame, the offset form
// erases once at the end. Then the cost of the TCP channel: sealing one
// Output frame of N bytes and opening it again, as daemon and client do for
// every chunk of a session's output.
#include <benchmark/benchmark.h>

#include "kiv/protocol.h"
#include "kiv/secure_channel.h"

namespace {

std::string manyFrames(int64_t count) {
    std::string buffer;
    for (int64_t i = 0; i < count; ++i)
        buffer += kiv::frameBytes(kiv::MsgKind::Input, "k");
    return buffer;
}

void takeByErasing(benchmark::State& state) {
    const std::string frames = manyFrames(state.range(0));
    kiv::MsgKind kind;
    std::string payload;
    for (auto _ : state) {
        std::string buffer = frames;
        while (kiv::takeFrame(buffer, kind, payload))
            benchmark::DoNotOptimize(payload);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void takeByOffset(benchmark::State& state) {
    const std::string frames = manyFrames(state.range(0));
    kiv::MsgKind kind;
    std::string payload;
    for (auto _ : state) {
        std::string buffer = frames;
        size_t used = 0;
        while (kiv::takeFrame(buffer, used, kind, payload))
            benchmark::DoNotOptimize(payload);
        buffer.erase(0, used);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

BENCHMARK(takeByErasing)->Arg(600)->Arg(10000)->Arg(100000);
BENCHMARK(takeByOffset)->Arg(600)->Arg(10000)->Arg(100000);

// Two channels with the handshake done in memory.
struct ChannelPair {
    kiv::Key key = kiv::Key::random();
    kiv::SecureChannel client{kiv::ChannelRole::Client, key};
    kiv::SecureChannel daemon{kiv::ChannelRole::Daemon, key};
    ChannelPair() {
        std::string toDaemon = client.hello(), toClient, plain;
        while (!client.established() || !daemon.established()) {
            daemon.receive(toDaemon, plain, toClient);
            toDaemon.clear();
            client.receive(toClient, plain, toDaemon);
            toClient.clear();
        }
    }
};

void sealAndOpenOutput(benchmark::State& state) {
    ChannelPair pair;
    const std::string frame =
        kiv::frameBytes(kiv::MsgKind::Output, std::string(state.range(0), 'x'));
    std::string wire, plain, reply;
    for (auto _ : state) {
        wire.clear();
        plain.clear();
        pair.daemon.seal(frame, wire);
        pair.client.receive(wire, plain, reply);
        benchmark::DoNotOptimize(plain);
    }
    state.SetBytesProcessed(state.iterations() * frame.size());
}

BENCHMARK(sealAndOpenOutput)->Arg(1)->Arg(4096)->Arg(65536);

}  // namespace

BENCHMARK_MAIN();

// Codec throughput against memcpy of the same sizes as the yardstick.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "mqtt/codec/FrameBuilders.h"
#include "mqtt/codec/MQTTPacket.h"
#include "mqtt/codec/WirePrimitives.h"
#include "platform/CodePage.h"

namespace {

std::vector<uint8_t> Payload(size_t size)
{
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i * 31 + 7);
    return data;
}

std::vector<uint8_t> PublishFrame(const std::vector<uint8_t>& data)
{
    TFrameBuffer frame;
    int32_t length = 0;
    BuildPublishFrame(frame, length, false, false, 1, "sensors/room1/temperature", 42, data.data(),
                      static_cast<int32_t>(data.size()));
    return std::vector<uint8_t>(frame.get(), frame.get() + length);
}

void BM_Memcpy(benchmark::State& state)
{
    std::vector<uint8_t> source = Payload(state.range(0));
    for (auto _ : state) {
        auto copy = std::make_unique_for_overwrite<uint8_t[]>(source.size());
        std::memcpy(copy.get(), source.data(), source.size());
        benchmark::DoNotOptimize(copy.get());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Memcpy)->Arg(16)->Arg(1 << 20);

void BM_BuildPublish(benchmark::State& state)
{
    std::vector<uint8_t> data = Payload(state.range(0));
    for (auto _ : state) {
        TFrameBuffer frame;
        int32_t length = 0;
        BuildPublishFrame(frame, length, false, false, 1, "sensors/room1/temperature", 42, data.data(),
                          static_cast<int32_t>(data.size()));
        benchmark::DoNotOptimize(frame.get());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_BuildPublish)->Arg(16)->Arg(1 << 20);

void BM_CreateAndAnalyzePublish(benchmark::State& state)
{
    std::vector<uint8_t> frame = PublishFrame(Payload(state.range(0)));
    for (auto _ : state) {
        TMQTTPacket packet(frame.data(), static_cast<int32_t>(frame.size()));
        packet.AnalyzePacket();
        benchmark::DoNotOptimize(packet.PublishData);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_CreateAndAnalyzePublish)->Arg(16)->Arg(1 << 20);

void BM_BuildSmallFrames(benchmark::State& state)
{
    for (auto _ : state) {
        TFrameBuffer frame;
        int32_t length = 0;
        BuildConnectFrame(frame, length, "dev1", "user", "secret", false, true, 1, 60, "will/topic", "bye");
        benchmark::DoNotOptimize(frame.get());
        BuildSubscribeFrame(frame, length, false, 7, "a/b,c/d,\"e f\"", "0,1,2");
        benchmark::DoNotOptimize(frame.get());
        BuildPubackFrame(frame, length, 7);
        benchmark::DoNotOptimize(frame.get());
        BuildPingreqFrame(frame, length);
        benchmark::DoNotOptimize(frame.get());
    }
}
BENCHMARK(BM_BuildSmallFrames);

void BM_AnalyzeSmallFrames(benchmark::State& state)
{
    TFrameBuffer connect, subscribe;
    int32_t connectLength = 0, subscribeLength = 0;
    BuildConnectFrame(connect, connectLength, "dev1", "user", "secret", false, true, 1, 60, "will/topic", "bye");
    BuildSubscribeFrame(subscribe, subscribeLength, false, 7, "a/b,c/d,\"e f\"", "0,1,2");
    const uint8_t suback[] = {0x90, 0x05, 0x00, 0x07, 0x00, 0x01, 0x02};
    for (auto _ : state) {
        TMQTTPacket a(connect.get(), connectLength);
        a.AnalyzePacket();
        TMQTTPacket b(subscribe.get(), subscribeLength);
        b.AnalyzePacket();
        TMQTTPacket c(suback, sizeof suback);
        c.AnalyzePacket();
        benchmark::DoNotOptimize(c.SubackGrantedQoSList.data());
    }
}
BENCHMARK(BM_AnalyzeSmallFrames);

// A typical PUBLISH text in the given code page.
void TextConversions(benchmark::State& state, const char* codePage, bool toUtf8)
{
    const std::string saved = CodePage::Name();
    CodePage::Set(codePage);
    const std::string utf8 = "これは試験データです from Windows7";
    const std::string text = CodePage::UTF8ToSystem(utf8);
    for (auto _ : state) {
        std::string out = toUtf8 ? TextToUTF8(text) : UTF8ToText(utf8);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(state.iterations() * utf8.size());
    CodePage::Set(saved);
}
BENCHMARK_CAPTURE(TextConversions, TextToUTF8_UTF8, "UTF-8", true);
BENCHMARK_CAPTURE(TextConversions, UTF8ToText_UTF8, "UTF-8", false);
BENCHMARK_CAPTURE(TextConversions, TextToUTF8_CP932, "CP932", true);
BENCHMARK_CAPTURE(TextConversions, UTF8ToText_CP932, "CP932", false);

}  // namespace

BENCHMARK_MAIN();

// Benchmarks, each beside the baseline it is judged against in the same run:
//   BM_SaveLedger5000 vs BM_WriteSameBytesOneFlush: the cost of an atomic save;
//   BM_SubmitCpuPath vs BM_LibraryCallsAlone: the CPU path of a largest submit
//   (JSON, checks, base64, two decodes, fingerprint) against the same library
//   calls made directly.
// The 5 MiB PNG is made by tests/bench/run_benchmarks.py; its path comes in
// TPH_BENCH_PNG.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <spng.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "host/message_table.h"
#include "platform/file_system.h"
#include "platform/clock.h"
#include "state/ledger_json.h"
#include "state/state_store.h"
#include "support/base64.h"
#include "submit/fingerprint.h"
#include "submit/label_payload.h"
#include "submit/submit_request.h"
#include "support/strict_json.h"

namespace tph {
namespace {

HostLedger big_ledger() {
  HostLedger l;
  l.schema = 1;
  l.updated_at_ms = 1;
  for (int i = 0; i < 5000; ++i) {
    char key[32];
    std::snprintf(key, sizeof key, "intent-%06d", i);
    l.jobs[key] = JobRecord{key, std::string(64, 'e'), JobState::kCompleted, "Label_PDF", std::to_string(i + 1),
                            1'700'000'000'000ULL, 1'700'000'000'000ULL, "", "", "", 0, ""};
  }
  return l;
}

std::string bench_dir() {
  const char* d = std::getenv("TPH_BENCH_DIR");
  return d ? d : "/tmp";
}

void BM_SaveLedger5000(benchmark::State& state) {
  StateStore store;
  store.fs = &system_file_system();
  store.folder = bench_dir() + "/save";
  store.ledger = big_ledger();
  // A save proves first that the lock guards the folder, as in the host.
  if (!store.fs->create_directories(store.folder).ok()) return state.SkipWithError("cannot make the folder");
  OsResult<std::unique_ptr<LockFile>> lock = store.fs->open_lock_file(store.folder + "/ledger.lock");
  if (!lock.ok() || !lock.value()->lock_exclusive().ok()) return state.SkipWithError("cannot lock the folder");
  store.lock = std::move(lock.value());
  // The library calls this function more than once: each call is a host of
  // its own that has not read the ledger the one before it left, so it
  // starts with none (a host refuses to save over a ledger it did not read).
  std::remove((store.folder + "/ledger.json").c_str());
  for (auto _ : state) {
    if (Status s = save_ledger(store); !s.ok()) return state.SkipWithError(s.error().message.c_str());
  }
  state.counters["bytes"] = static_cast<double>(encode_ledger(store.ledger).value().size());
}
BENCHMARK(BM_SaveLedger5000)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_WriteSameBytesOneFlush(benchmark::State& state) {
  const std::string bytes = encode_ledger(big_ledger()).value();
  const std::string path = bench_dir() + "/plain.json";
  for (auto _ : state) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) state.SkipWithError("write");
    fsync(fd);
    close(fd);
  }
}
BENCHMARK(BM_WriteSameBytesOneFlush)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReadAndParseLedger5000(benchmark::State& state) {
  const std::string path = bench_dir() + "/read.json";
  { std::ofstream(path, std::ios::binary) << encode_ledger(big_ledger()).value(); }
  for (auto _ : state) {
    OsResult<std::unique_ptr<ReadableFile>> opened = system_file_system().open_to_read(path, kMaxLedgerBytes);
    if (!opened.ok()) return state.SkipWithError("cannot open the ledger");
    benchmark::DoNotOptimize(decode_ledger([&](char* data, size_t size) {
      size_t got = 0;
      return opened.value()->read(reinterpret_cast<uint8_t*>(data), size, got).ok() ? got : 0;
    }));
  }
}
BENCHMARK(BM_ReadAndParseLedger5000)->Unit(benchmark::kMillisecond);

std::string read_png() {
  const char* p = std::getenv("TPH_BENCH_PNG");
  std::ifstream f(p ? p : "", std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

std::string base64_of(const std::string& b) {
  std::string out(4 * ((b.size() + 2) / 3), '\0');
  EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), reinterpret_cast<const unsigned char*>(b.data()),
                  static_cast<int>(b.size()));
  return out;
}

struct SubmitFixture {
  std::string png = read_png();
  uint32_t w = 0, h = 0;
  std::string body;
  SubmitFixture() {
    auto be32 = [&](size_t at) {
      return uint32_t(uint8_t(png[at])) << 24 | uint32_t(uint8_t(png[at + 1])) << 16 |
             uint32_t(uint8_t(png[at + 2])) << 8 | uint8_t(png[at + 3]);
    };
    w = be32(16);
    h = be32(20);
    body = R"({"intent_id":"bench-1","printer":"Label_PDF","title":"Bench","copies":1,"dpi":300,"payload":{"format":"png","base64":")" +
           base64_of(png) + R"(","width_px":)" + std::to_string(w) + R"(,"height_px":)" + std::to_string(h) + "}}";
  }
};

void BM_SubmitCpuPath(benchmark::State& state) {
  SubmitFixture f;
  if (f.png.empty()) return state.SkipWithError("TPH_BENCH_PNG not set");
  const std::string doc = R"({"payload":)" + f.body + "}";
  for (auto _ : state) {
    static const JsonShape wrapper{{{"payload", &payload_shape()}}};
    StrictJson parsed = parse_strict_json(doc, wrapper);
    Result<SubmitRequest> bound = bind_submit_request(&parsed.value["payload"], parsed);
    if (!bound.ok() || !validate_submit_request(bound.value()).ok()) return state.SkipWithError("invalid");
    SubmitRequest* r = &bound.value();
    Result<std::string> png = decode_label_payload(r->payload);  // base64 + first decode
    if (!png.ok()) return state.SkipWithError(png.error().message.c_str());
    benchmark::DoNotOptimize(compute_output_fingerprint(png.value(), r->printer, r->media, r->dpi, r->copies));
    Result<DeviceRaster, DecodeFailure> raster = decode_png(png.value(), true);  // the print stage's decode
    benchmark::DoNotOptimize(raster.value().pixels.data());
  }
}
BENCHMARK(BM_SubmitCpuPath)->Unit(benchmark::kMillisecond);

void BM_LibraryCallsAlone(benchmark::State& state) {
  SubmitFixture f;
  if (f.png.empty()) return state.SkipWithError("TPH_BENCH_PNG not set");
  const std::string text = base64_of(f.png);
  for (auto _ : state) {
    nlohmann::json j = nlohmann::json::parse(f.body);
    benchmark::DoNotOptimize(j);
    std::optional<std::string> png = decode_base64_strict(text);
    for (int pass = 0; pass < 2; ++pass) {
      spng_ctx* ctx = spng_ctx_new(0);
      spng_set_png_buffer(ctx, png->data(), png->size());
      size_t n = 0;
      spng_decoded_image_size(ctx, SPNG_FMT_RGBA8, &n);
      std::vector<uint8_t> out(n);
      spng_decode_image(ctx, out.data(), n, SPNG_FMT_RGBA8, SPNG_DECODE_TRNS);
      spng_ctx_free(ctx);
      benchmark::DoNotOptimize(out.data());
    }
    unsigned char digest[32];
    unsigned int len = 0;
    EVP_Digest(png->data(), png->size(), digest, &len, EVP_sha256(), nullptr);
    benchmark::DoNotOptimize(digest);
  }
}
BENCHMARK(BM_LibraryCallsAlone)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tph

BENCHMARK_MAIN();

// The cost of reading the UID field: decoding the first bytes of a file in
// each layout, and the whole read of one file (open, read, close) from a
// warm page cache, which is what the walk pays for every message file.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "msgfile/msgfile.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace {

void FillHead(uint8_t (&head)[MESSAGE_HEAD_SIZE], bool encrypted) {
  memset(head, 'x', sizeof head);
  if (encrypted) memcpy(head, ENCRYPTED_FILE_SIGNATURE, SIGNATURE_SIZE);
}

void BM_DecodeMessageUid(benchmark::State& state) {
  uint8_t head[MESSAGE_HEAD_SIZE];
  FillHead(head, state.range(0) != 0);
  for (auto _ : state) {
    benchmark::DoNotOptimize(head);
    benchmark::DoNotOptimize(DecodeMessageUid(head, sizeof head));
  }
}
BENCHMARK(BM_DecodeMessageUid)->ArgName("encrypted")->Arg(0)->Arg(1);

void BM_ReadMessageUid(benchmark::State& state) {
  fs::path dir = fs::temp_directory_path() / "mailtally-uid-benchmark";
  fs::create_directories(dir);
  uint8_t head[MESSAGE_HEAD_SIZE];
  FillHead(head, state.range(0) != 0);
  FILE* out = fopen((dir / "I1.DAT").string().c_str(), "wb");
  fwrite(head, 1, sizeof head, out);
  fputs("Subject: benchmark\r\n", out);
  fclose(out);

  Directory* handle = OpenDirectory(dir.string());
  const std::string name = "I1.DAT";
  for (auto _ : state) benchmark::DoNotOptimize(ReadMessageUid(handle, name));
  CloseDirectory(handle);
  fs::remove_all(dir);
}
BENCHMARK(BM_ReadMessageUid)->ArgName("encrypted")->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();

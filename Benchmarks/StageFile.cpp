// Stages one file, as the share target does, and prints what the staging benchmark needs:
//   kestro-stage-file SOURCE DIRECTORY
// prints "<sha256> <byteCount> <peak resident KiB> <wall seconds>" on one line. Runs in a process
// of its own so that its peak resident memory is that of staging alone.

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>

#include "KestroCore/OutboxStore/AssetStager.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s SOURCE DIRECTORY\n", argv[0]);
    return 2;
  }
  try {
    const auto start = std::chrono::steady_clock::now();
    const kestro::StagedAsset asset =
        kestro::AssetStager::stage(kestro::URL::fileURL(argv[1]), kestro::URL::fileURL(argv[2]),
                                   "application/octet-stream", kestro::AssetRole::attachment);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%s %lld %ld %.3f\n", asset.sha256.c_str(), static_cast<long long>(asset.byteCount),
                usage.ru_maxrss, elapsed.count());
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s: %s\n", argv[0], error.what());
    return 1;
  }
}

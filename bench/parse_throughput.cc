// Parse throughput of a results document.
//
// Usage: bench_parse [FILE]
// Without FILE it builds a document of 10,000 records with 10 parameters each.
// Prints the size and the best-of-N throughput in MB/s.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "artifact.h"

namespace {

std::string make_document(int records, int params) {
  std::string out = "[";
  char buf[64];
  for (int i = 0; i < records; ++i) {
    if (i) out += ", ";
    out += "{\"eval_id\": " + std::to_string(i) + ", \"params\": {";
    for (int p = 0; p < params; ++p) {
      std::snprintf(buf, sizeof buf, "%s\"param_%d\": %.17g", p ? ", " : "", p,
                    (i * 7919 + p * 104729) % 1000003 / 1000003.0);
      out += buf;
    }
    std::snprintf(buf, sizeof buf, "}, \"value\": %.17g, \"cost\": 1.0}", i * 0.001 - 3.5);
    out += buf;
  }
  return out + "]";
}

}  // namespace

int main(int argc, char** argv) {
  std::string text;
  if (argc > 1) {
    std::ifstream in(argv[1], std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    text = ss.str();
  } else {
    text = make_document(10000, 10);
  }
  double best = 1e30;
  size_t records = 0;
  for (int rep = 0; rep < 15; ++rep) {
    auto t0 = std::chrono::steady_clock::now();
    auto parsed = vordaopt::parse_results(text);
    auto t1 = std::chrono::steady_clock::now();
    if (!parsed.ok()) {
      std::fprintf(stderr, "parse failed: %s\n", parsed.error_message().c_str());
      return 1;
    }
    records = parsed.value().size();
    best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
  }
  double mb = text.size() / 1e6;
  std::printf("vordaopt parse_results: %zu records, %.2f MB, best %.2f ms, %.1f MB/s\n", records,
              mb, best * 1e3, mb / best);
  return 0;
}

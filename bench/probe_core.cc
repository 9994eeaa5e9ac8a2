// Raw core rate of the stateless probe: points per second for 10 parameters,
// values only (no maps, no Python objects).
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "probe.h"

int main() {
  using namespace vordaopt;
  NamedMap<Domain> bounds;
  const Scale scales[] = {Scale::kLinear, Scale::kLog, Scale::kPeriodic};
  for (int i = 0; i < 10; ++i) {
    bounds.insert_or_assign("p" + std::to_string(i), Domain{1e-3, 10.0, scales[i % 3]});
  }
  PrimeSqrtSlopesRotProbe probe;
  probe.seed_offset = 0.2;
  ProbeGeometry g = prepare_geometry(probe, bounds);
  std::vector<DomainMapper> mappers = make_mappers(bounds);
  const uint32_t n = 1000000;
  std::vector<double> values(10);
  double sink = 0.0, best = 1e30;
  for (int rep = 0; rep < 5; ++rep) {
    auto t0 = std::chrono::steady_clock::now();
    for (uint32_t i = 0; i < n; ++i) {
      generate_values_at(probe, i, g, mappers, values.data());
      sink += values[9];
    }
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  std::printf("core generate_values_at, 10 params: %.0f points/s (checksum %.6g)\n", n / best, sink);
  return 0;
}

#include <algorithm>
#include <utility>

#include "sim/module_options.h"

namespace flashpost::sim {

std::vector<Satellite> DefaultSatellites() {
  return {
      {3, 62, 45, 44},  {6, 48, 120, 41}, {9, 35, 200, 38},  {12, 20, 300, 33}, {17, 15, 80, 27},
      {19, 71, 10, 47}, {24, 8, 250, 21}, {28, 40, 160, 39}, {46, 30, 190, 35},
  };
}

std::vector<Satellite> WithStrongestCn0(std::vector<Satellite> sats, int cn0) {
  cn0 = std::clamp(cn0, 0, kMaxCn0);
  auto strongest = sats.end();
  for (auto it = sats.begin(); it != sats.end(); ++it) {
    if (it->cn0 > 0 && (strongest == sats.end() || it->cn0 > strongest->cn0)) strongest = it;
  }
  // A sky with nothing tracked yet: the first satellite becomes the strongest one.
  if (strongest == sats.end() && !sats.empty()) strongest = sats.begin();
  if (strongest == sats.end()) return sats;

  const int shift = cn0 - std::max(strongest->cn0, 0);
  for (auto it = sats.begin(); it != sats.end(); ++it) {
    if (it == strongest) continue;
    if (it->cn0 <= 0) continue;
    const int moved = std::min(it->cn0 + shift, cn0 - 1);
    it->cn0 = moved > 0 ? moved : -1;
  }
  strongest->cn0 = cn0 > 0 ? cn0 : -1;
  return sats;
}

}  // namespace flashpost::sim

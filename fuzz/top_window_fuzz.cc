// Builds window lists from arbitrary bytes and checks scanWindows against a
// plain reference. Values come mostly from small tables of the interesting
// ones (the 50-point boundary, NaN, infinities, the excluded pid) and
// otherwise raw from the input, so both edges and noise are reached quickly.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <type_traits>
#include <vector>

#include "platform/platform.h"
#include "windowserver/top_window.h"

// topWindow's snapshot; the scan is what is fuzzed, so the list call fails.
std::optional<std::vector<WindowRecord>> copyWindowList() {
  return std::nullopt;
}

namespace {

void check(bool ok) {
  if (!ok)
    __builtin_trap();
}

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Mostly one of `table`, sometimes a raw value, the choice made by the
// input. An exhausted input gives table[0].
template <class T, size_t N>
T pick(FuzzedDataProvider& in, const T (&table)[N]) {
  uint8_t choice = in.ConsumeIntegral<uint8_t>();
  if (choice < 192)
    return table[choice % N];
  if constexpr (std::is_floating_point_v<T>) {
    T raw;
    std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(sizeof raw);
    bytes.resize(sizeof raw);
    memcpy(&raw, bytes.data(), sizeof raw);
    return raw;
  } else {
    return in.ConsumeIntegral<T>();
  }
}

// Mostly present, so that whole records pass often enough to compare.
template <class T>
void fill(FuzzedDataProvider& in, WindowField<T>& field) {
  uint8_t choice = in.ConsumeIntegral<uint8_t>();
  field.entry = choice < 160 ? Entry::present : choice < 208 ? Entry::absent : Entry::wrongKind;
}

WindowRecord consumeRecord(FuzzedDataProvider& in, int32_t excluded) {
  static constexpr int64_t kLayers[] = {0, 1, -1, 3, 25, INT64_MIN, INT64_MAX};
  const int32_t kOwners[] = {excluded, 1, 2, 0, -1, int32_t(uint32_t(excluded) + 1),
                             INT32_MIN, INT32_MAX};
  static constexpr double kAlphas[] = {1.0, 0.0, -0.0, 0.5, kNaN, kInf, -kInf,
                                       std::numeric_limits<double>::denorm_min(), -1.0};
  constexpr double kJustUnder50 = 0x1.8ffffffffffffp+5;
  static constexpr double kSides[] = {50.0, 49.9, kJustUnder50, 50.0000001, 100.0, 0.0,
                                      -100.0, kNaN, kInf, -kInf, 1e308};
  static constexpr uint32_t kNumbers[] = {0, 1, 2, 77, UINT32_MAX};

  // Values are drawn whatever the entry: a field that is not present must
  // be ignored however its value looks.
  WindowRecord w;
  fill(in, w.layer);
  w.layer.value = pick(in, kLayers);
  fill(in, w.ownerPID);
  w.ownerPID.value = pick(in, kOwners);
  fill(in, w.alpha);
  w.alpha.value = pick(in, kAlphas);
  fill(in, w.bounds);
  w.bounds.value.width = pick(in, kSides);
  w.bounds.value.height = pick(in, kSides);
  fill(in, w.number);
  w.number.value = pick(in, kNumbers);
  return w;
}

std::optional<Target> reference(const std::vector<WindowRecord>& windows, int32_t excluded) {
  for (const WindowRecord& w : windows) {
    bool onLayerZero = w.layer.entry == Entry::present && w.layer.value == 0;
    bool another = w.ownerPID.entry == Entry::present && w.ownerPID.value != excluded;
    bool visible = w.alpha.entry != Entry::present || w.alpha.value > 0.0;
    bool large = w.bounds.entry == Entry::present && w.bounds.value.width >= 50.0 &&
                 w.bounds.value.height >= 50.0;
    bool numbered = w.number.entry == Entry::present;
    if (onLayerZero && another && visible && large && numbered)
      return Target{w.ownerPID.value, w.number.value};
  }
  return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  static constexpr int32_t kExcluded[] = {4242, 1, 0, -1, INT32_MIN, INT32_MAX};
  int32_t excluded = pick(in, kExcluded);
  std::vector<WindowRecord> windows;
  while (in.remaining_bytes() > 0 && windows.size() < 256)
    windows.push_back(consumeRecord(in, excluded));

  check(scanWindows(windows, excluded) == reference(windows, excluded));
  check(!topWindow(excluded));
  return 0;
}

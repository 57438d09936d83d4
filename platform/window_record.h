// One entry of the window server's on-screen list, reduced to the five
// fields the top-window scan reads. Each field says whether it was there and
// of the right kind, so the platform layer converts and the scan decides.
#pragma once

#include <cstdint>

enum class Entry : uint8_t {
  absent,
  wrongKind,  // present, but not a number (or, for bounds, no rectangle)
  present,
};

template <class T>
struct WindowField {
  Entry entry = Entry::absent;
  T value{};
};

struct WindowSize {
  double width;
  double height;
};

struct WindowRecord {
  WindowField<int64_t> layer;
  WindowField<int32_t> ownerPID;
  WindowField<double> alpha;
  WindowField<WindowSize> bounds;  // present only when it converted
  WindowField<uint32_t> number;
};

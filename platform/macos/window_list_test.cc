#include "platform/macos/window_list.h"

#include <CoreGraphics/CoreGraphics.h>
#include <gtest/gtest.h>

#include <cstdint>

namespace {

// Owns one CF object for the length of a test case.
struct Owned {
  CFTypeRef ref;
  explicit Owned(CFTypeRef r) : ref(r) {}
  Owned(const Owned&) = delete;
  ~Owned() { CFRelease(ref); }
};

CFTypeRef number(CFNumberType type, const void* value) {
  return CFNumberCreate(kCFAllocatorDefault, type, value);
}
CFTypeRef int32Number(int32_t v) { return number(kCFNumberSInt32Type, &v); }
CFTypeRef int64Number(int64_t v) { return number(kCFNumberSInt64Type, &v); }
CFTypeRef doubleNumber(double v) { return number(kCFNumberDoubleType, &v); }
CFTypeRef string(const char* s) { return CFStringCreateWithCString(kCFAllocatorDefault, s, kCFStringEncodingUTF8); }

CFMutableDictionaryRef dictionary() {
  return CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                   &kCFTypeDictionaryValueCallBacks);
}

// Stores `value` under `key` and drops the caller's reference to it.
void put(CFMutableDictionaryRef dict, const void* key, CFTypeRef value) {
  CFDictionarySetValue(dict, key, value);
  CFRelease(value);
}

// A window the scan would take: layer 0, pid 42, alpha 1, 800 × 600, number 7.
CFMutableDictionaryRef wellFormedWindow() {
  CFMutableDictionaryRef w = dictionary();
  put(w, kCGWindowLayer, int32Number(0));
  put(w, kCGWindowOwnerPID, int32Number(42));
  put(w, kCGWindowAlpha, doubleNumber(1.0));
  put(w, kCGWindowBounds, CGRectCreateDictionaryRepresentation(CGRectMake(10, 20, 800, 600)));
  put(w, kCGWindowNumber, int32Number(7));
  return w;
}

std::optional<std::vector<WindowRecord>> convertOne(CFTypeRef window) {
  Owned list(CFArrayCreate(kCFAllocatorDefault, &window, 1, &kCFTypeArrayCallBacks));
  return convertWindowList(list.ref);
}

// Converts the well-formed window with `key` set to `value` (or removed when
// `value` is null) and returns its one record.
WindowRecord convertWith(CFStringRef key = nullptr, CFTypeRef value = nullptr) {
  Owned window(wellFormedWindow());
  auto w = (CFMutableDictionaryRef)window.ref;
  if (key && value)
    put(w, key, value);
  else if (key)
    CFDictionaryRemoveValue(w, key);
  std::optional<std::vector<WindowRecord>> records = convertOne(w);
  EXPECT_TRUE(records && records->size() == 1);
  return records && records->size() == 1 ? records->front() : WindowRecord{};
}

TEST(WindowList, ConvertsEachShapeTheServerMaySend) {
  WindowRecord r = convertWith();
  EXPECT_EQ(r.layer.entry, Entry::present);
  EXPECT_EQ(r.layer.value, 0);
  EXPECT_EQ(r.ownerPID.entry, Entry::present);
  EXPECT_EQ(r.ownerPID.value, 42);
  EXPECT_EQ(r.alpha.entry, Entry::present);
  EXPECT_EQ(r.alpha.value, 1.0);
  EXPECT_EQ(r.bounds.entry, Entry::present);
  EXPECT_EQ(r.bounds.value.width, 800);
  EXPECT_EQ(r.bounds.value.height, 600);
  EXPECT_EQ(r.number.entry, Entry::present);
  EXPECT_EQ(r.number.value, 7u);

  // Each field absent, then of the wrong kind: only that field says so.
  const CFStringRef keys[] = {kCGWindowLayer, kCGWindowOwnerPID, kCGWindowAlpha, kCGWindowBounds,
                              kCGWindowNumber};
  auto entryOf = [](const WindowRecord& rec, CFStringRef key) {
    if (key == kCGWindowLayer) return rec.layer.entry;
    if (key == kCGWindowOwnerPID) return rec.ownerPID.entry;
    if (key == kCGWindowAlpha) return rec.alpha.entry;
    if (key == kCGWindowBounds) return rec.bounds.entry;
    return rec.number.entry;
  };
  for (CFStringRef changed : keys) {
    SCOPED_TRACE(CFStringGetCStringPtr(changed, kCFStringEncodingUTF8));
    WindowRecord absent = convertWith(changed, nullptr);
    WindowRecord wrong = convertWith(changed, string("7"));
    for (CFStringRef key : keys) {
      EXPECT_EQ(entryOf(absent, key), key == changed ? Entry::absent : Entry::present);
      EXPECT_EQ(entryOf(wrong, key), key == changed ? Entry::wrongKind : Entry::present);
    }
  }

  // A float layer is still a number: read at its integer value.
  r = convertWith(kCGWindowLayer, doubleNumber(0.25));
  EXPECT_EQ(r.layer.entry, Entry::present);
  EXPECT_EQ(r.layer.value, 0);

  // Bounds that are a dictionary but no rectangle.
  EXPECT_EQ(convertWith(kCGWindowBounds, dictionary()).bounds.entry, Entry::wrongKind);

  // Window numbers: 64-bit within range, a large one as a negative SInt32,
  // and one beyond 32 bits, which must not be cut down to another window.
  r = convertWith(kCGWindowNumber, int64Number(0xFFFF'FFF0));
  EXPECT_EQ(r.number.entry, Entry::present);
  EXPECT_EQ(r.number.value, 0xFFFF'FFF0u);
  r = convertWith(kCGWindowNumber, int32Number(-2));
  EXPECT_EQ(r.number.entry, Entry::present);
  EXPECT_EQ(r.number.value, 0xFFFF'FFFEu);
  EXPECT_EQ(convertWith(kCGWindowNumber, int64Number(0x1'0000'0007)).number.entry, Entry::wrongKind);

  // The list as a whole: untrusted if any element is not a string-keyed
  // dictionary, or if it is no array at all.
  Owned good(wellFormedWindow());
  Owned numberKey(wellFormedWindow());
  Owned key(int32Number(1));
  put((CFMutableDictionaryRef)numberKey.ref, key.ref, int32Number(1));
  CFTypeRef goodThenNumberKey[] = {good.ref, numberKey.ref};
  CFTypeRef goodThenString[] = {good.ref, CFSTR("window")};
  Owned list1(CFArrayCreate(kCFAllocatorDefault, goodThenNumberKey, 2, &kCFTypeArrayCallBacks));
  Owned list2(CFArrayCreate(kCFAllocatorDefault, goodThenString, 2, &kCFTypeArrayCallBacks));
  EXPECT_FALSE(convertWindowList(list1.ref));
  EXPECT_FALSE(convertWindowList(list2.ref));
  EXPECT_FALSE(convertWindowList(good.ref));
  EXPECT_FALSE(convertWindowList(nullptr));
}

}  // namespace

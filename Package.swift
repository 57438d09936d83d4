// swift-tools-version:6.0
// The client library and a thin Swift wrapper over it, for parent
// applications that embed the Palisade helper. Swift 6 language mode
// throughout, with its complete concurrency checking.
import PackageDescription

let package = Package(
  name: "Palisade",
  // The client's C++20 needs a libc++ newer than SwiftPM's default target.
  platforms: [.macOS(.v11)],
  products: [
    .library(name: "Palisade", targets: ["Palisade"])
  ],
  targets: [
    // The C API and its C++ implementation, as CMake builds them; the
    // client's tests and build files are CMake's alone.
    .target(
      name: "CPalisadeClient",
      path: "client",
      exclude: [
        "CMakeLists.txt",
        "api_test.cc",
        "exports.map",
        "exports.txt",
        "helper_search_test_probe.cc",
        "helper_search_test.cc",
        "keep_alive_test.cc",
        "test_support.h",
        "thread_test.cc",
        "words_test.cc",
      ],
      publicHeadersPath: "include",
      // The process activity that keeps App Nap away (activity_apple.mm).
      linkerSettings: [
        .linkedFramework("Foundation", .when(platforms: [.macOS])),
      ]
    ),
    .target(
      name: "Palisade",
      dependencies: ["CPalisadeClient"],
      path: "swift/Sources/Palisade"
    ),
    .testTarget(
      name: "PalisadeTests",
      dependencies: ["Palisade"],
      path: "swift/Tests/PalisadeTests"
    ),
  ],
  swiftLanguageModes: [.v6],
  cxxLanguageStandard: .cxx20
)

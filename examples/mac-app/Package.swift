// swift-tools-version:6.0
// A minimal AppKit application on the Palisade package, built on a Mac only.
// A package of its own, so that the root package, which Linux builds and
// tests, never sees AppKit.
import Foundation
import PackageDescription

// SwiftPM names a package found by path after its folder, which is the
// checkout's name, whatever that is.
let root = URL(fileURLWithPath: #filePath).deletingLastPathComponent()
  .appendingPathComponent("../..").standardizedFileURL

let package = Package(
  name: "PalisadeExample",
  platforms: [.macOS(.v11)],
  dependencies: [.package(path: "../..")],
  targets: [
    .executableTarget(
      name: "PalisadeExample",
      dependencies: [.product(name: "Palisade", package: root.lastPathComponent)],
      path: "Sources/PalisadeExample"
    )
  ],
  swiftLanguageModes: [.v6]
)

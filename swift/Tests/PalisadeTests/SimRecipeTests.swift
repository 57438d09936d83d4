// A whole test as an application's own suite would write one: palisade-sim
// in the helper's place, the scene set with control lines, and what the
// window server would have seen read back from the trace. Self-contained on
// purpose: the documentation shows this file as it is.
import Foundation
import Palisade
import XCTest

#if canImport(Glibc)
import Glibc
#elseif canImport(Darwin)
import Darwin
#endif

final class SimRecipeTests: XCTestCase {
  @MainActor func testTheHelperHoldsTheFrontAndGivesItBack() async throws {
    let sim = try XCTUnwrap(ProcessInfo.processInfo.environment["PALISADE_SIM"], "set PALISADE_SIM to palisade-sim")

    // palisade-sim reads control lines on its descriptor 3 and writes its
    // trace to its 4. Ours are whatever pipe() gives: handed over as 3 and 4.
    var control: [Int32] = [0, 0], trace: [Int32] = [0, 0]
    XCTAssertEqual(pipe(&control), 0)
    XCTAssertEqual(pipe(&trace), 0)
    XCTAssertEqual(fcntl(trace[0], F_SETFL, O_NONBLOCK), 0)
    defer { for fd in control + trace { close(fd) } }
    func send(_ line: String) {
      let bytes = Array((line + "\n").utf8)
      XCTAssertEqual(write(control[1], bytes, bytes.count), bytes.count)
    }

    // Each trace line is "SECONDS EVENT ARGS". Waiting lets the main queue
    // run, which is what keeps the hold under the default keep-alive source.
    var traced = ""
    func expect(_ event: String, line: UInt = #line) async {
      let deadline = Date().addingTimeInterval(10)
      var buffer = [UInt8](repeating: 0, count: 4096)
      while Date() < deadline {
        while case let count = read(trace[0], &buffer, buffer.count), count > 0 {
          traced += String(decoding: buffer[..<count], as: UTF8.self)
        }
        if let found = traced.range(of: " \(event)\n") {
          traced.removeSubrange(..<found.upperBound)
          return
        }
        try? await Task.sleep(nanoseconds: 10_000_000)
      }
      XCTFail("no '\(event)' in the trace", line: line)
    }

    // Another application, pid 500, is in front when the helper starts.
    send("live 500")
    send("front 500")
    let client = try PalisadeClient(helperURL: URL(fileURLWithPath: sim),
                                    inheritedDescriptors: [(control[0], as: 3), (trace[1], as: 4)])
    defer { client.close(timeout: 10) }
    let helper = client.helperPID

    try client.engage()
    await expect("setFront \(helper) 0 0x400 -> 0")
    await expect("dock hidden \(helper)")

    // The other application takes the front; the helper takes it back.
    send("front 500")
    await expect("dock shown 500")
    await expect("setFront \(helper) 0 0x400 -> 0")

    // Released: the front goes back to the application that had it.
    try client.release()
    await expect("setFront 500 0 0x200 -> 0")
    await expect("dock shown 500")
    XCTAssertEqual(client.state, .idle)
  }
}

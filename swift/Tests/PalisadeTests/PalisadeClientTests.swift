// The wrapper driving palisade-sim as a parent application would, judged by
// the simulated window server's trace and the events it reports.
import Foundation
import Palisade
import XCTest

#if canImport(Glibc)
import Glibc
#elseif canImport(Darwin)
import Darwin
#endif

/// Generous: a loaded machine may be slow, and nothing here is timed.
private let deadline = 10.0

/// The sim's control read end at fd 3 and trace write end at fd 4, so a
/// client handing over [3, 4] gives them to every helper it starts; our ends
/// stay above 10. In a test process 3 and 4 belong to the toolkit's run loop,
/// which these tests never run: set aside meanwhile, put back after.
private final class SimPipes {
  let control: Int32
  let trace: Int32
  private var pending = ""
  private var saved: [Int32: Int32] = [:]

  init() {
    for fd: Int32 in [3, 4] where fcntl(fd, F_GETFD) != -1 {
      saved[fd] = fcntl(fd, F_DUPFD_CLOEXEC, 10)
    }
    var control: [Int32] = [0, 0], trace: [Int32] = [0, 0]
    precondition(pipe(&control) == 0 && pipe(&trace) == 0)
    // All four moved above 10 first, so placing two at 3 and 4 overwrites none.
    let high = (control + trace).map { fd -> Int32 in
      defer { close(fd) }
      return fcntl(fd, F_DUPFD_CLOEXEC, 10)
    }
    dup2(high[0], 3)
    dup2(high[3], 4)
    for fd in [high[0], high[3]] { close(fd) }
    self.control = high[1]
    self.trace = high[2]
  }

  deinit {
    for fd in [control, trace, 3, 4] { close(fd) }
    for (fd, copy) in saved {
      dup2(copy, fd)
      close(copy)
    }
  }

  func send(_ line: String) {
    let bytes = Array((line + "\n").utf8)
    XCTAssertEqual(write(control, bytes, bytes.count), bytes.count)
  }

  /// Waits for the next trace event (the line without its time stamp) that
  /// equals `event`, skipping the others; fails the test if none comes.
  func await(_ event: String, file: StaticString = #filePath, line: UInt = #line) {
    let end = Date().addingTimeInterval(deadline)
    while true {
      while let newline = pending.firstIndex(of: "\n") {
        let found = pending[..<newline].drop(while: { $0 != " " }).dropFirst() == event[...]
        pending = String(pending[pending.index(after: newline)...])
        if found { return }
      }
      var reader = pollfd(fd: trace, events: Int16(POLLIN), revents: 0)
      var buffer = [UInt8](repeating: 0, count: 4096)
      let left = end.timeIntervalSinceNow
      let count = left > 0 && poll(&reader, 1, Int32(left * 1000) + 1) == 1 ? read(trace, &buffer, 4096) : 0
      guard count > 0 else { return XCTFail("no '\(event)' in the trace", file: file, line: line) }
      pending += String(decoding: buffer[..<count], as: UTF8.self)
    }
  }
}

/// Events as the client's thread reports them, taken from the test's.
private final class EventLog {
  private let lock = NSLock()
  private let arrived = DispatchSemaphore(value: 0)
  private var events: [PalisadeEvent] = []

  func append(_ event: PalisadeEvent) {
    lock.withLock { events.append(event) }
    arrived.signal()
  }

  /// The first event not yet taken, or nil if none comes before the deadline.
  func take() -> PalisadeEvent? {
    arrived.wait(timeout: .now() + deadline) == .success ? lock.withLock { events.removeFirst() } : nil
  }
}

/// False once the process is gone and reaped (a zombie still exists).
private func exists(_ pid: pid_t) -> Bool { kill(pid, 0) == 0 || errno != ESRCH }

final class PalisadeClientTests: XCTestCase {
  private var sim = ""

  // Fails rather than skips: a suite skipped unnoticed proves nothing.
  override func setUpWithError() throws {
    sim = try XCTUnwrap(ProcessInfo.processInfo.environment["PALISADE_SIM"],
                        "PALISADE_SIM must name a built palisade-sim (PALISADE_SIM=$PWD/build/palisade-sim swift test)")
  }

  func testHoldStealRestartAndClose() throws {
    let pipes = SimPipes()
    let log = EventLog()
    let client = try PalisadeClient(helperPath: sim, inheritedDescriptors: [3, 4], onEvent: log.append)
    let first = client.helperPID
    try client.engage()
    pipes.await("setFront \(first) 0 0x400 -> 0")

    // Another application takes the front; the helper takes it back.
    pipes.send("live 800")
    pipes.send("front 800")
    pipes.await("ctl front 800")
    pipes.await("setFront \(first) 0 0x400 -> 0")

    // A killed helper is reported, replaced, and the new one holds again.
    kill(first, SIGKILL)
    guard case .helperExited(let status)? = log.take() else { return XCTFail("no exit reported") }
    XCTAssertEqual(status & 0x7f, SIGKILL)
    guard case .helperRestarted(let second)? = log.take() else { return XCTFail("no restart reported") }
    XCTAssertEqual(client.helperPID, second)
    pipes.await("setFront \(second) 0 0x400 -> 0")

    client.close(timeout: deadline)
    XCTAssertFalse(exists(second))
    XCTAssertThrowsError(try client.engage()) { XCTAssertEqual(($0 as? PalisadeError)?.status, .closed) }
  }

  func testAFailedStartThrowsAndDroppingTheClientEndsItsHelper() throws {
    XCTAssertThrowsError(try PalisadeClient(helperPath: "/nonexistent/palisade-sim")) {
      XCTAssertEqual(($0 as? PalisadeError)?.status, .spawnFailed)
    }
    var client: PalisadeClient? = try PalisadeClient(helperURL: URL(fileURLWithPath: sim))
    let pid = client!.helperPID
    client = nil
    XCTAssertFalse(exists(pid))
  }
}

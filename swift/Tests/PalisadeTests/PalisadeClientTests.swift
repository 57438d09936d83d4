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

/// The sim's control pipe read end at fd 3 and its trace pipe write end at
/// fd 4 in this process, so a client handing over [3, 4] gives them to every
/// helper it starts; the test keeps its own ends above them. In a test
/// process 3 and 4 already belong to the toolkit's run loop, which these
/// tests never run: they are set aside meanwhile and put back after.
private final class SimPipes {
  let control: Int32
  let trace: Int32
  private var pending = ""
  private var saved: [Int32: Int32] = [:]  // fds 3 and 4 of whoever had them

  init() {
    for fd: Int32 in [3, 4] where fcntl(fd, F_GETFD) != -1 {
      saved[fd] = fcntl(fd, F_DUPFD_CLOEXEC, 10)
    }
    let control = SimPipes.pipeAbove10()
    let trace = SimPipes.pipeAbove10()
    dup2(control.read, 3)
    dup2(trace.write, 4)
    close(control.read)
    close(trace.write)
    self.control = control.write
    self.trace = trace.read
  }

  deinit {
    for fd in [control, trace, 3, 4] { close(fd) }
    for (fd, copy) in saved {
      dup2(copy, fd)
      close(copy)
    }
  }

  // Above every number a pipe could otherwise land on, so placing one end at
  // 3 or 4 never overwrites another.
  private static func pipeAbove10() -> (read: Int32, write: Int32) {
    var fds: [Int32] = [0, 0]
    precondition(pipe(&fds) == 0)
    let moved = fds.map { fd -> Int32 in
      defer { close(fd) }
      return fcntl(fd, F_DUPFD_CLOEXEC, 10)
    }
    return (moved[0], moved[1])
  }

  func send(_ line: String) {
    let bytes = Array((line + "\n").utf8)
    XCTAssertEqual(write(control, bytes, bytes.count), bytes.count)
  }

  /// The next trace event (the line without its time stamp) that satisfies
  /// `match`, skipping the others; nil when none comes before the deadline.
  func next(_ match: (String) -> Bool) -> String? {
    let end = Date().addingTimeInterval(deadline)
    while true {
      while let newline = pending.firstIndex(of: "\n") {
        let line = pending[..<newline]
        pending = String(pending[pending.index(after: newline)...])
        let event = String(line.drop(while: { $0 != " " }).dropFirst())
        if match(event) { return event }
      }
      var reader = pollfd(fd: trace, events: Int16(POLLIN), revents: 0)
      let left = end.timeIntervalSinceNow
      guard left > 0, poll(&reader, 1, Int32(left * 1000) + 1) == 1 else { return nil }
      var buffer = [UInt8](repeating: 0, count: 4096)
      let count = read(trace, &buffer, buffer.count)
      guard count > 0 else { return nil }
      pending += String(decoding: buffer[..<count], as: UTF8.self)
    }
  }

  /// Waits for the given helper to hold the front.
  func holds(_ pid: pid_t, file: StaticString = #filePath, line: UInt = #line) {
    let hold = "setFront \(pid) 0 0x400 -> 0"
    XCTAssertEqual(next { $0 == hold }, hold, file: file, line: line)
  }
}

/// Events as the client's thread reports them, waited for from the test's.
private final class EventLog {
  private let condition = NSCondition()
  private var events: [PalisadeEvent] = []

  func append(_ event: PalisadeEvent) {
    condition.lock()
    events.append(event)
    condition.broadcast()
    condition.unlock()
  }

  /// The first event not yet taken, or nil if none comes before the deadline.
  func take() -> PalisadeEvent? {
    condition.lock()
    defer { condition.unlock() }
    let end = Date().addingTimeInterval(deadline)
    while events.isEmpty {
      if !condition.wait(until: end) { return nil }
    }
    return events.removeFirst()
  }
}

private func exists(_ pid: pid_t) -> Bool { kill(pid, 0) == 0 || errno != ESRCH }

private func refusal(of error: Error) -> PalisadeError.Status? { (error as? PalisadeError)?.status }

// Fails the suite rather than skipping it: a suite skipped unnoticed proves
// nothing.
private struct MissingSim: Error, CustomStringConvertible {
  var description: String {
    "PALISADE_SIM must name a built palisade-sim (PALISADE_SIM=$PWD/build/palisade-sim swift test)"
  }
}

final class PalisadeClientTests: XCTestCase {
  private var sim = ""

  override func setUpWithError() throws {
    guard let path = ProcessInfo.processInfo.environment["PALISADE_SIM"], !path.isEmpty else {
      throw MissingSim()
    }
    sim = path
  }

  func testHoldStealRestartAndClose() throws {
    let pipes = SimPipes()
    let log = EventLog()
    let client = try PalisadeClient(helperPath: sim, inheritedDescriptors: [3, 4], onEvent: log.append)
    let first = client.helperPID
    XCTAssertGreaterThan(first, 0)

    try client.engage()
    pipes.holds(first)

    // Another application takes the front; the helper takes it back.
    pipes.send("live 800")
    pipes.send("front 800")
    XCTAssertNotNil(pipes.next { $0 == "ctl front 800" })
    pipes.holds(first)

    // A killed helper is reported, replaced, and the new one holds again.
    kill(first, SIGKILL)
    guard case .helperExited(let status)? = log.take() else { return XCTFail("no exit reported") }
    XCTAssertEqual(status & 0x7f, SIGKILL)
    guard case .helperRestarted(let second)? = log.take() else { return XCTFail("no restart reported") }
    XCTAssertNotEqual(second, first)
    XCTAssertEqual(client.helperPID, second)
    pipes.holds(second)

    client.close(timeout: deadline)
    XCTAssertFalse(exists(second))
    XCTAssertEqual(client.helperPID, 0)
    XCTAssertThrowsError(try client.engage()) { XCTAssertEqual(refusal(of: $0), .closed) }
  }

  func testRefusalsCarryTheLibrarysStatusAndDroppingTheClientEndsItsHelper() throws {
    XCTAssertThrowsError(try PalisadeClient(helperPath: "/nonexistent/palisade-sim")) { error in
      XCTAssertEqual(refusal(of: error), .spawnFailed)
      XCTAssertFalse((error as? PalisadeError)?.message.isEmpty ?? true)
    }
    XCTAssertThrowsError(try PalisadeClient(helperURL: URL(string: "https://example.com/sim")!)) {
      XCTAssertEqual(refusal(of: $0), .invalidArgument)
    }

    let log = EventLog()
    var client: PalisadeClient? = try PalisadeClient(helperURL: URL(fileURLWithPath: sim), maxRestarts: -1,
                                                     onEvent: log.append)
    let pid = client!.helperPID
    kill(pid, SIGKILL)
    guard case .helperExited? = log.take() else { return XCTFail("no exit reported") }
    // The exit may be reported before the library has found no restart left.
    var refused: PalisadeError.Status?
    for _ in 0..<Int(deadline * 100) where refused == nil {
      do { try client!.engage(); usleep(10_000) } catch { refused = refusal(of: error) }
    }
    XCTAssertEqual(refused, .helperGone)
    XCTAssertEqual(client!.helperPID, 0)

    client = try PalisadeClient(helperURL: URL(fileURLWithPath: sim))
    let dropped = client!.helperPID
    client = nil
    XCTAssertFalse(exists(dropped))
  }
}

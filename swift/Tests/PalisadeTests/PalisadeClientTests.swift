// The wrapper driving palisade-sim as a parent application would, judged by
// the simulated window server's trace and the events it reports. The tests
// run on the main actor and wait by suspending, so the main queue runs meanwhile
// as under an application's run loop: that is what keeps a hold by default.
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

/// Lets the main queue run until `condition` holds; false if it does not
/// before the deadline.
@MainActor private func eventually(_ condition: () -> Bool) async -> Bool {
  let end = Date().addingTimeInterval(deadline)
  while !condition() {
    guard Date() < end else { return false }
    try? await Task.sleep(nanoseconds: 10_000_000)
  }
  return true
}

/// palisade-sim reads control lines from its descriptor 3 and writes its
/// trace to 4; ours are whatever pipe() gave, handed over at those numbers.
@MainActor private final class SimPipes {
  let handedOver: [(Int32, as: Int32)]
  private let control: Int32, trace: Int32
  private var pending = ""

  init() {
    var control: [Int32] = [0, 0], trace: [Int32] = [0, 0]
    precondition(pipe(&control) == 0 && pipe(&trace) == 0)
    precondition(fcntl(trace[0], F_SETFL, O_NONBLOCK) == 0)
    self.control = control[1]
    self.trace = trace[0]
    handedOver = [(control[0], as: 3), (trace[1], as: 4)]
  }

  deinit {
    for fd in handedOver.map(\.0) + [control, trace] { close(fd) }
  }

  /// Waits for the next trace event (the line without its time stamp) that
  /// equals `event`, skipping the others; fails the test if none comes.
  func expect(_ event: String, file: StaticString = #filePath, line: UInt = #line) async {
    if await !eventually({ found(event) }) { XCTFail("no '\(event)' in the trace", file: file, line: line) }
  }

  private func found(_ event: String) -> Bool {
    var buffer = [UInt8](repeating: 0, count: 4096)
    while case let count = read(trace, &buffer, buffer.count), count > 0 {
      pending += String(decoding: buffer[..<count], as: UTF8.self)
    }
    while let newline = pending.firstIndex(of: "\n") {
      let seen = pending[..<newline].drop(while: { $0 != " " }).dropFirst() == event[...]
      pending = String(pending[pending.index(after: newline)...])
      if seen { return true }
    }
    return false
  }
}

/// Events as they arrive, from any queue.
private final class EventLog: @unchecked Sendable {  // `events` and `ended` are guarded by `lock`
  private let lock = NSLock()
  private var events: [PalisadeEvent] = []
  private var ended = false

  func append(_ event: PalisadeEvent) { locked { events.append(event) } }
  func end() { locked { ended = true } }
  var isEmpty: Bool { locked { events.isEmpty } }
  var isEnded: Bool { locked { ended } }

  /// The first event not yet taken, or nil if none comes before the deadline.
  @MainActor func take() async -> PalisadeEvent? {
    await eventually { !isEmpty } ? locked { events.removeFirst() } : nil
  }

  /// Reads `stream` into this log until it finishes.
  @MainActor func read(_ stream: AsyncStream<PalisadeEvent>) {
    Task {
      for await event in stream { append(event) }
      end()
    }
  }

  private func locked<T>(_ body: () -> T) -> T {
    lock.lock()
    defer { lock.unlock() }
    return body()
  }
}

/// A main-actor type as applications have them. The client's closure is not
/// isolated, so it steps onto the main actor, which traps unless the event
/// came on the main queue. On a lost hold it closes the client from there.
@MainActor private final class HoldObserver {
  private(set) var client: PalisadeClient?
  private(set) var lost: (milliseconds: Int, state: PalisadeClient.State)?

  func start(helperPath: String, pipes: SimPipes) throws {
    client = try PalisadeClient(helperPath: helperPath, inheritedDescriptors: pipes.handedOver) { [weak self] event in
      MainActor.assumeIsolated { self?.heard(event) }
    }
  }

  private func heard(_ event: PalisadeEvent) {
    guard case .holdLost(let milliseconds) = event, let client else { return }
    lost = (milliseconds, client.state)
    client.close(timeout: deadline)
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

  @MainActor func testHoldRestartYieldAndClose() async throws {
    let pipes = SimPipes()
    let queue = DispatchQueue(label: "palisade.tests.events")
    let heard = EventLog(), streamed = EventLog()
    let client = try PalisadeClient(helperPath: sim, inheritedDescriptors: pipes.handedOver, eventQueue: queue) {
      dispatchPrecondition(condition: .onQueue(queue))
      heard.append($0)
    }
    streamed.read(client.events)
    let first = client.helperPID
    try client.engage()
    XCTAssertEqual(client.state, .holding)
    await pipes.expect("setFront \(first) 0 0x400 -> 0")

    // A killed helper is reported, to the closure and the stream alike,
    // replaced, and the new one holds again.
    kill(first, SIGKILL)
    var restarts: [PalisadeEvent?] = []
    for log in [heard, streamed] {
      let exited = await log.take()
      XCTAssertEqual(exited, .helperExited(status: .signaled(signal: SIGKILL)))
      restarts.append(await log.take())
    }
    guard case .helperRestarted(let second)? = restarts[0] else { return XCTFail("no restart reported") }
    XCTAssertEqual(restarts[1], restarts[0])
    XCTAssertEqual(client.helperPID, second)
    try client.yield()
    XCTAssertEqual(client.state, .yielded)

    client.close(timeout: deadline)
    XCTAssertFalse(exists(second))
    let ended = await eventually { streamed.isEnded }
    XCTAssertTrue(ended, "the event stream goes on after close")
    XCTAssertThrowsError(try client.engage()) { XCTAssertEqual(($0 as? PalisadeError)?.status, .closed) }
  }

  @MainActor func testAStalledMainQueueLosesTheHoldWhileManualKeepAlivesKeepIt() async throws {
    let pipes = SimPipes()
    let observer = HoldObserver()
    try observer.start(helperPath: sim, pipes: pipes)
    let client = try XCTUnwrap(observer.client)
    let pid = client.helperPID
    // Kept alive from another thread, which the stall does not touch.
    let manualEvents = EventLog()
    let manual = try PalisadeClient(helperPath: sim, keepAliveSource: .manual, onEvent: manualEvents.append)
    let beat = DispatchSource.makeTimerSource(queue: .global())
    beat.schedule(deadline: .now(), repeating: 0.25)
    beat.setEventHandler { try? manual.keepAlive() }
    beat.resume()
    defer { beat.cancel() }
    try client.engage()
    try manual.engage()
    await pipes.expect("setFront \(pid) 0 0x400 -> 0")

    // Past the helper's 3 s while the main queue runs: still holding.
    try await Task.sleep(nanoseconds: 3_500_000_000)
    XCTAssertEqual(client.state, .holding)

    DispatchQueue.main.async { Thread.sleep(forTimeInterval: 4) }
    await pipes.expect("uiMode 0 0")
    let heard = await eventually { observer.lost != nil }
    XCTAssertTrue(heard, "no hold lost reported")
    XCTAssertGreaterThanOrEqual(observer.lost?.milliseconds ?? 0, 3000)
    XCTAssertEqual(observer.lost?.state, .idle)
    XCTAssertFalse(exists(pid), "the close from the event closure left the helper")
    XCTAssertEqual(manual.state, .holding)
    XCTAssertTrue(manualEvents.isEmpty)
    manual.close(timeout: deadline)
  }

  @MainActor func testRefusalsReadAsSentencesAndExitsAreDecoded() async throws {
    let missing = "/nonexistent/palisade-sim"
    XCTAssertThrowsError(try PalisadeClient(helperPath: missing)) {
      XCTAssertEqual(($0 as? PalisadeError)?.status, .spawnFailed)
      XCTAssertEqual($0.localizedDescription, "Could not start the helper at \(missing): \(String(cString: strerror(ENOENT)))")
    }
    // No helper in any place searched (none lies beside the test runner):
    // every place is named, in the order tried.
    let places = PalisadeClient.helperPlaces
    XCTAssertFalse(places.isEmpty)
    XCTAssertThrowsError(try PalisadeClient()) {
      XCTAssertEqual(($0 as? PalisadeError)?.status, .spawnFailed)
      XCTAssertEqual($0.localizedDescription,
                     "Found no helper to start: looked for an executable file at \(places.joined(separator: ", then "))")
    }
    // Each names the option and the value refused.
    let pipes = SimPipes(), (control, trace) = (pipes.handedOver[0].0, pipes.handedOver[1].0)
    let refusals: [(String, () throws -> PalisadeClient)] = [
      ("keepAliveInterval 3.0", { try PalisadeClient(helperPath: self.sim, keepAliveInterval: 3) }),
      ("inheritedDescriptors entry (\(control), as: 2)",
       { try PalisadeClient(helperPath: self.sim, inheritedDescriptors: [(control, as: 2)]) }),
      ("inheritedDescriptors entry (\(trace), as: 3)",
       { try PalisadeClient(helperPath: self.sim, inheritedDescriptors: [(control, as: 3), (trace, as: 3)]) }),
      ("inheritedDescriptors entry (999999, as: 3)",
       { try PalisadeClient(helperPath: self.sim, inheritedDescriptors: [(999_999, as: 3)]) }),
      ("helperURL https://example.com/palisade",
       { try PalisadeClient(helperURL: URL(string: "https://example.com/palisade")!) }),
      // The deprecated [Int32] spelling: each descriptor at its own number.
      ("inheritedDescriptors entry (999999, as: 999999)",
       { try PalisadeClient(helperPath: self.sim, inheritedDescriptors: [999_999]) }),
      ("inheritedDescriptors entry (2, as: 2)",
       { try PalisadeClient(helperURL: URL(fileURLWithPath: self.sim), inheritedDescriptors: [2]) }),
    ]
    for (refused, open) in refusals {
      XCTAssertThrowsError(try open()) {
        XCTAssertEqual(($0 as? PalisadeError).map { "\($0.status)" }, "invalidArgument")
        XCTAssertTrue($0.localizedDescription.hasPrefix("Invalid \(refused): "), $0.localizedDescription)
      }
    }

    // A helper that exits 1 with no restart allowed; the closure's queue is
    // held meanwhile, so the event is still queued for it when the client
    // is dropped: it must not run.
    let held = DispatchQueue(label: "palisade.tests.held")
    held.suspend()
    let heard = EventLog(), streamed = EventLog()
    var failing: PalisadeClient? = try PalisadeClient(helperPath: "/usr/bin/false", maxRestarts: 0,
                                                      eventQueue: held, onEvent: heard.append)
    streamed.read(failing!.events)
    let exited = await streamed.take()
    XCTAssertEqual(exited, .helperExited(status: .exited(code: 1)))
    XCTAssertThrowsError(try failing?.engage()) {
      XCTAssertEqual(($0 as? PalisadeError)?.status, .helperGone)
      XCTAssertTrue($0.localizedDescription.hasPrefix("Could not engage: "), $0.localizedDescription)
    }
    failing = nil
    held.resume()
    held.sync {}
    XCTAssertTrue(heard.isEmpty, "an event reached the closure after close")

    var client: PalisadeClient? = try PalisadeClient(helperURL: URL(fileURLWithPath: sim))
    let pid = client!.helperPID
    client = nil
    XCTAssertFalse(exists(pid))
  }
}

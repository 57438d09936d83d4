// A Swift face for the client library: one object owns one helper process.
import CPalisadeClient
import Foundation

#if canImport(Glibc)
import Glibc
#elseif canImport(Darwin)
import Darwin
#endif

// Apple's libdispatch is part of the system, so the C library times the
// main-queue keep-alives itself. Elsewhere the package builds it without
// libdispatch, and a Swift timer over the manual source does the same work.
#if canImport(Darwin)
private let mainQueueTimedInSwift = false
#else
private let mainQueueTimedInSwift = true
#endif

/// Starts the helper and drives it: engage, yield and release return at once,
/// keep-alives go out while engaged for as long as the application shows it
/// is alive, a helper that dies is restarted and brought back, and closing
/// (or dropping the object) leaves no helper behind.
///
/// Every member is safe from any thread and returns at once, except
/// `close(timeout:)` (and so the last release of the object), which waits up
/// to its timeout for the helper to exit.
///
/// Events go to `onEvent` on the event queue (the main queue by default) and
/// to `events`. The closure is not isolated to any actor: from a `@MainActor`
/// type, with the main queue as event queue, call in with
/// `MainActor.assumeIsolated`. Capture the client weakly there, or it is
/// never dropped.
public final class PalisadeClient: @unchecked Sendable {  // `client` and `keepAliveTimer` are guarded by `lock`
  /// What proves the application alive while engaged, and so keeps the hold.
  public enum KeepAliveSource: Sendable {
    /// The default: a keep-alive each interval, but only while the main
    /// dispatch queue runs, so a main thread stuck for 3 s loses the hold
    /// (`.holdLost`) and the person at the Mac gets the front and the Dock
    /// back. A run loop drains the main queue (AppKit, `RunLoop.main`,
    /// `dispatchMain()`); a process that never runs it loses each hold 3 s in.
    case mainQueue
    /// The client's own thread sends them: only the death or stop of the whole
    /// process ends the hold, a hang of its main thread does not. For a parent
    /// with no main queue running, such as a command-line tool.
    case clientThread
    /// Only `keepAlive()` sends them: call it from the loop whose liveness
    /// should keep the hold.
    case manual
  }

  /// The helper's state as the client believes it.
  public enum State: Sendable {
    /// Released, never engaged, after a lost hold, or once no restart is left.
    case idle
    /// Engaged: the helper holds the front and keeps taking it back.
    case holding
    /// Engaged, with the front left to others: the Dock shows, whichever
    /// application is front, until a release and a new engage.
    case yielded
  }

  /// Long enough for a helper to release and exit on end of input.
  private static let deinitCloseTimeout = 1.0
  /// The C library's bounds for the interval, which the Swift timer keeps too.
  private static let shortestInterval = 0.01
  private static let longestInterval = 2.0

  /// The events that `onEvent` also receives, from any thread, for one consumer
  /// (`for await` in one task): one stream for the client's life, created with
  /// it and finished by `close(timeout:)`. Events not read yet are kept, the
  /// newest 64 of them.
  public let events: AsyncStream<PalisadeEvent>

  // Never held across palisade_close, which waits for the client's thread.
  private let lock = NSLock()
  private var client: OpaquePointer?
  private var keepAliveTimer: DispatchSourceTimer?
  private let relay: EventRelay
  private let timesMainQueue: Bool
  private let keepAliveInterval: Double

  /// Starts the helper and returns once it runs (the helper itself has not
  /// necessarily started its work yet).
  ///
  /// - Parameters:
  ///   - helperPath: The helper executable. `nil` (the default) searches, in
  ///     order, the application bundle's `Contents/Helpers/palisade`,
  ///     `palisade` beside the running executable, and `bin/palisade` of the
  ///     prefix the library was installed in (CMake builds only); never
  ///     `PATH` or the working directory. `helperPlaces` lists them.
  ///   - keepAliveInterval: Seconds between keep-alives while engaged; above 0
  ///     and below 3, the helper's limit. Below 0.01 counts as 0.01, above 2
  ///     as 2 (a late wake-up then still has a second to spare).
  ///   - keepAliveSource: What proves the application alive; see `KeepAliveSource`.
  ///   - maxRestarts: Restarts allowed in any 60 s; 0 or less: never restart.
  ///   - inheritedDescriptors: Our descriptors handed to the helper, and the
  ///     number each gets there: `[(traceWriteEnd, as: 4)]` makes our
  ///     `traceWriteEnd` the helper's 4. Each must be open and stay open
  ///     while the client lives (a restarted helper gets them again); each
  ///     helper number must be 3 or above, and no two alike. In a Swift process
  ///     our own 3 and 4 belong to the run loop: hand over what `pipe()`
  ///     returned. No other descriptor of ours reaches the helper.
  ///   - eventQueue: Where `onEvent` runs; the main queue by default.
  ///   - onEvent: Called on `eventQueue` for each event, asynchronously: it may
  ///     call every method, `close(timeout:)` included. Events still queued
  ///     for it when `close(timeout:)` begins are dropped.
  /// - Throws: A `PalisadeError`: `.spawnFailed` for a helper that cannot be
  ///   started, naming the path and the system's reason, or every place
  ///   searched when none was found; `.invalidArgument` for an option out of
  ///   range, naming it and the value.
  public init(helperPath: String? = nil, keepAliveInterval: Double = 0.5, keepAliveSource: KeepAliveSource = .mainQueue,
              maxRestarts: Int = 3, inheritedDescriptors: [(Int32, as: Int32)] = [],
              eventQueue: DispatchQueue = .main, onEvent: (@Sendable (PalisadeEvent) -> Void)? = nil) throws {
    try Self.validate(keepAliveInterval: keepAliveInterval, inheritedDescriptors: inheritedDescriptors)
    relay = EventRelay(queue: eventQueue, handler: onEvent)
    events = relay.events
    timesMainQueue = keepAliveSource == .mainQueue && mainQueueTimedInSwift
    self.keepAliveInterval = min(max(keepAliveInterval, Self.shortestInterval), Self.longestInterval)

    let source: palisade_keep_alive_source =
      switch keepAliveSource {
      case .mainQueue: timesMainQueue ? PALISADE_KEEP_ALIVE_MANUAL : PALISADE_KEEP_ALIVE_MAIN_QUEUE
      case .clientThread: PALISADE_KEEP_ALIVE_CLIENT_THREAD
      case .manual: PALISADE_KEEP_ALIVE_MANUAL
      }
    let ours = inheritedDescriptors.map(\.0), theirs = inheritedDescriptors.map(\.as)
    var opened: OpaquePointer?
    var reason: Int32 = 0
    let status = withCString(helperPath) { path in
      ours.withUnsafeBufferPointer { ours in
        theirs.withUnsafeBufferPointer { theirs in
          var options = palisade_options(
            helper_path: path, keep_alive_interval: keepAliveInterval,
            max_restarts: maxRestarts > 0 ? Int32(clamping: maxRestarts) : -1,
            inherit_fds: ours.baseAddress, inherit_fd_count: Int32(ours.count),
            on_event: relayEvent, context: Unmanaged.passUnretained(relay).toOpaque(),
            keep_alive_source: source, inherit_fd_targets: theirs.baseAddress)
          defer { reason = errno }
          return palisade_open(&options, &opened)
        }
      }
    }
    switch status {
    case PALISADE_OK: client = opened
    case PALISADE_SPAWN_FAILED:
      guard let helperPath else { throw PalisadeError.searchFailed(in: Self.helperPlaces, errno: reason) }
      throw PalisadeError.spawnFailed(path: helperPath, errno: reason)
    default: throw PalisadeError(couldNot: "start the helper at \(helperPath ?? Self.helperPlaces.first ?? "?")", status)
    }
  }

  /// Starts the helper at a file URL; otherwise `init(helperPath:...)`.
  ///
  /// - Parameters:
  ///   - helperURL: The helper executable, a file URL.
  ///   - keepAliveInterval: As for `init(helperPath:...)`, like the rest.
  ///   - keepAliveSource: What proves the application alive.
  ///   - maxRestarts: Restarts allowed in any 60 s.
  ///   - inheritedDescriptors: Our descriptors handed to the helper, each
  ///     with its number there.
  ///   - eventQueue: Where `onEvent` runs.
  ///   - onEvent: Called on `eventQueue` for each event.
  /// - Throws: A `PalisadeError` as `init(helperPath:...)` does, and
  ///   `.invalidArgument` for a URL that is not a file URL.
  public convenience init(helperURL: URL, keepAliveInterval: Double = 0.5, keepAliveSource: KeepAliveSource = .mainQueue,
                          maxRestarts: Int = 3, inheritedDescriptors: [(Int32, as: Int32)] = [],
                          eventQueue: DispatchQueue = .main, onEvent: (@Sendable (PalisadeEvent) -> Void)? = nil) throws {
    guard helperURL.isFileURL else {
      throw PalisadeError.invalid("helperURL", helperURL.absoluteString, "it is not a file URL")
    }
    try self.init(helperPath: helperURL.withUnsafeFileSystemRepresentation { String(cString: $0!) },
                  keepAliveInterval: keepAliveInterval, keepAliveSource: keepAliveSource, maxRestarts: maxRestarts,
                  inheritedDescriptors: inheritedDescriptors, eventQueue: eventQueue, onEvent: onEvent)
  }

  deinit { close(timeout: Self.deinitCloseTimeout) }

  /// Where a client made with no `helperPath` looks for the helper, as
  /// absolute paths in the order tried: `<X>.app/Contents/Helpers/palisade`
  /// when the executable's real path is `<X>.app/Contents/MacOS/<name>`,
  /// `palisade` beside the executable, the install prefix's `bin/palisade`.
  /// The environment changes none of them. Any thread.
  public static var helperPlaces: [String] {
    let length = palisade_helper_places(nil, 0)
    var buffer = [CChar](repeating: 0, count: length + 1)
    _ = palisade_helper_places(&buffer, buffer.count)
    let bytes = buffer.prefix(length).map { UInt8(bitPattern: $0) }
    return String(decoding: bytes, as: UTF8.self).split(separator: "\n").map(String.init)
  }

  /// Asks the helper to hold the front, hiding the Dock. Returns at once.
  ///
  /// - Throws: A `PalisadeError`: `.helperGone` once no restart is left,
  ///   `.closed` after `close(timeout:)`.
  public func engage() throws {
    try call("engage") { client in
      let status = palisade_engage(client)
      if status == PALISADE_OK { startMainQueueTimer() }
      return status
    }
  }

  /// Asks the helper to stop taking the front back. It becomes an accessory
  /// again, with no Dock icon, so the Dock shows from here on, even while the
  /// helper is still front; release, then engage, to hide it again. Returns
  /// at once.
  ///
  /// - Throws: A `PalisadeError`, as `engage()` does.
  public func yield() throws { try call("yield", palisade_yield) }

  /// Asks the helper to give the front back and show the Dock. Returns at
  /// once.
  ///
  /// - Throws: A `PalisadeError`, as `engage()` does.
  public func release() throws { try call("release", palisade_release) }

  /// Sends one keep-alive while engaged; does nothing while idle. The only
  /// source under `.manual`, allowed under every one. Returns at once.
  ///
  /// - Throws: A `PalisadeError`, as `engage()` does.
  public func keepAlive() throws { try call("send a keep-alive", palisade_keep_alive) }

  /// Releases if engaged, ends the helper's input, waits up to `timeout`
  /// seconds for it to exit, then kills it; blocks meanwhile. Afterwards no
  /// helper of this client runs, `events` is finished, and no event reaches
  /// `onEvent` but one its queue had already begun. Later calls throw
  /// `.closed`; a second close does nothing.
  ///
  /// - Parameter timeout: Seconds to wait for the helper to exit before
  ///   killing it.
  public func close(timeout: Double) {
    lock.lock()
    let closing = client
    client = nil
    keepAliveTimer?.cancel()
    keepAliveTimer = nil
    lock.unlock()
    guard let closing else { return }
    relay.close()
    palisade_close(closing, timeout)
  }

  /// The running helper's pid, or 0 when none runs (between a death and its
  /// restart, or after close). Any thread, at once.
  public var helperPID: pid_t {
    lock.lock()
    defer { lock.unlock() }
    return client.map { palisade_helper_pid($0) } ?? 0
  }

  /// The state last asked for, corrected by a lost hold; `.idle` once no
  /// restart is left or after close. Any thread, at once.
  public var state: State {
    lock.lock()
    defer { lock.unlock() }
    switch client.map({ palisade_client_state($0) }) {
    case PALISADE_STATE_HOLDING: return .holding
    case PALISADE_STATE_YIELDED: return .yielded
    default: return .idle
    }
  }

  private func call(_ what: String, _ word: (OpaquePointer) -> palisade_status) throws {
    lock.lock()
    let status = client.map(word) ?? PALISADE_CLOSED
    lock.unlock()
    if status != PALISADE_OK { throw PalisadeError(couldNot: what, status) }
  }

  // Under `lock`, after an engage. The timer fires only while the main queue
  // runs; each firing is one proof of life.
  private func startMainQueueTimer() {
    guard timesMainQueue, keepAliveTimer == nil else { return }
    let timer = DispatchSource.makeTimerSource(queue: .main)
    // A tenth of the interval, at most 50 ms, as the C library's own timer.
    let leeway = DispatchTimeInterval.nanoseconds(Int(min(keepAliveInterval / 10, 0.05) * 1e9))
    timer.schedule(deadline: .now() + keepAliveInterval, repeating: keepAliveInterval, leeway: leeway)
    timer.setEventHandler { [weak self] in self?.mainQueueRan() }
    timer.resume()
    keepAliveTimer = timer
  }

  // On the main queue. Once the client is idle (released, hold lost, no
  // restart left) the timer stops; the next engage starts another.
  private func mainQueueRan() {
    lock.lock()
    defer { lock.unlock() }
    guard let client else { return }
    if palisade_client_state(client) == PALISADE_STATE_IDLE {
      keepAliveTimer?.cancel()
      keepAliveTimer = nil
    } else {
      _ = palisade_keep_alive(client)
    }
  }
}

private func withCString<R>(_ text: String?, _ body: (UnsafePointer<CChar>?) -> R) -> R {
  guard let text else { return body(nil) }
  return text.withCString(body)
}

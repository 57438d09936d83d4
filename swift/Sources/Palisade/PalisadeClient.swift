// A Swift face for the client library: one object owns one helper process.
import CPalisadeClient
import Foundation

/// What happened to the helper, reported on the client's own thread.
public enum PalisadeEvent: Equatable, Sendable {
  /// The helper died; `status` is its wait status.
  case helperExited(status: Int32)
  /// A new helper runs and has been brought back to the state last asked for.
  case helperRestarted(pid: pid_t)
}

/// A call the client refused, with the library's own description of why.
public struct PalisadeError: Error, Equatable, CustomStringConvertible {
  /// The library's status; an open set, so a newer library's status still maps.
  public struct Status: RawRepresentable, Equatable, Sendable {
    public let rawValue: Int32
    public init(rawValue: Int32) { self.rawValue = rawValue }
    public static let invalidArgument = Status(rawValue: 1)
    public static let spawnFailed = Status(rawValue: 2)
    public static let helperGone = Status(rawValue: 3)
    public static let closed = Status(rawValue: 4)
  }
  public let status: Status
  public let message: String
  public var description: String { message }

  init(_ status: palisade_status) {
    self.status = Status(rawValue: Int32(truncatingIfNeeded: status.rawValue))
    message = String(cString: palisade_status_message(status))
  }
}

/// Starts the helper and drives it: engage, yield and release return at once,
/// keep-alives go out from the client's thread while engaged, a helper that
/// dies is restarted and brought back, and closing (or dropping the object)
/// leaves no helper behind. Every method is safe from any thread.
///
/// The event closure runs on the client's thread and may call `engage()`,
/// `yield()` and `release()`; capture the client weakly there, or it is never
/// dropped.
public final class PalisadeClient {
  /// Long enough for a helper to release and exit on end of input.
  private static let deinitCloseTimeout = 1.0

  // Guards `client` so that close never frees it under a concurrent call;
  // never held across palisade_close, which waits for the event thread.
  private let lock = NSLock()
  private var client: OpaquePointer?
  private let box: Unmanaged<EventBox>?

  /// Starts the helper at `helperPath`. `keepAliveInterval` is in seconds,
  /// above 0 and below 3; `maxRestarts` counts restarts in any minute (a
  /// negative number: never restart); `inheritedDescriptors` are handed to the
  /// helper at the same numbers (palisade-sim's control and trace, 3 and 4).
  /// Throws `.spawnFailed` for a missing or non-executable helper and
  /// `.invalidArgument` for options out of range.
  public init(helperPath: String, keepAliveInterval: Double = 0.5, maxRestarts: Int = 3,
              inheritedDescriptors: [Int32] = [], onEvent: ((PalisadeEvent) -> Void)? = nil) throws {
    box = onEvent.map { Unmanaged.passRetained(EventBox($0)) }
    var opened: OpaquePointer?
    let status = helperPath.withCString { path in
      inheritedDescriptors.withUnsafeBufferPointer { fds in
        var options = palisade_options(
          helper_path: path, keep_alive_interval: keepAliveInterval,
          max_restarts: Int32(clamping: maxRestarts), inherit_fds: fds.baseAddress,
          inherit_fd_count: Int32(fds.count), on_event: box == nil ? nil : deliver,
          context: box?.toOpaque())
        return palisade_open(&options, &opened)
      }
    }
    guard status == PALISADE_OK else {
      box?.release()
      throw PalisadeError(status)
    }
    client = opened
  }

  /// Starts the helper at a file URL; see `init(helperPath:...)`.
  public convenience init(helperURL: URL, keepAliveInterval: Double = 0.5, maxRestarts: Int = 3,
                          inheritedDescriptors: [Int32] = [], onEvent: ((PalisadeEvent) -> Void)? = nil) throws {
    guard helperURL.isFileURL else { throw PalisadeError(PALISADE_INVALID_ARGUMENT) }
    try self.init(helperPath: helperURL.withUnsafeFileSystemRepresentation { String(cString: $0!) },
                  keepAliveInterval: keepAliveInterval, maxRestarts: maxRestarts,
                  inheritedDescriptors: inheritedDescriptors, onEvent: onEvent)
  }

  deinit { close(timeout: Self.deinitCloseTimeout) }

  /// Asks the helper to hold the front. Returns at once; throws `.helperGone`
  /// once no restart is left and `.closed` after `close(timeout:)`.
  public func engage() throws { try call(palisade_engage) }
  /// Asks the helper to stop taking the front back, keeping the Dock hidden.
  public func yield() throws { try call(palisade_yield) }
  /// Asks the helper to give the front back and show the Dock.
  public func release() throws { try call(palisade_release) }

  /// Releases if engaged, ends the helper's input, waits up to `timeout`
  /// seconds for it to exit, then kills it. Afterwards no helper of this client
  /// runs and no event is delivered. Later calls throw `.closed`. Called from
  /// the event closure it returns at once and the close finishes after it.
  public func close(timeout: Double) {
    lock.lock()
    let closing = client
    client = nil
    lock.unlock()
    guard let closing else { return }
    palisade_close(closing, timeout)
    box?.release()
  }

  /// The running helper's pid, or 0 when none runs.
  public var helperPID: pid_t {
    lock.lock()
    defer { lock.unlock() }
    return client.map { palisade_helper_pid($0) } ?? 0
  }

  private func call(_ word: (OpaquePointer?) -> palisade_status) throws {
    lock.lock()
    let status = client.map { word($0) } ?? PALISADE_CLOSED
    lock.unlock()
    if status != PALISADE_OK { throw PalisadeError(status) }
  }
}

// Owns the closure for the C side; retained until close has finished.
private final class EventBox {
  let handler: (PalisadeEvent) -> Void
  init(_ handler: @escaping (PalisadeEvent) -> Void) { self.handler = handler }
}

// The C callback. It holds its own reference to the box while the closure
// runs, because a close from inside the closure releases the client's.
private func deliver(context: UnsafeMutableRawPointer?, event: palisade_event, detail: Int) {
  let box = Unmanaged<EventBox>.fromOpaque(context!).retain().takeRetainedValue()
  switch event {
  case PALISADE_EVENT_HELPER_EXITED: box.handler(.helperExited(status: Int32(truncatingIfNeeded: detail)))
  case PALISADE_EVENT_HELPER_RESTARTED: box.handler(.helperRestarted(pid: pid_t(truncatingIfNeeded: detail)))
  default: break  // an event this wrapper does not know yet
  }
}

// What the client reports, and the relay that carries it from the client's
// thread to the caller's queue and to the event stream.
import CPalisadeClient
import Foundation

/// What happened to the helper, delivered to the client's `onEvent` closure on
/// its event queue and to its `events` stream.
public enum PalisadeEvent: Equatable, Sendable {
  /// The helper died; a restart follows if the budget has one left.
  case helperExited(status: ExitStatus)
  /// A new helper runs with this pid, brought back to the state last asked for.
  case helperRestarted(pid: pid_t)
  /// The hold ended: no keep-alive went out for `milliseconds` (3000 or more),
  /// because the main queue stalled or manual keep-alives stopped. The helper
  /// gave the front and the Dock back and the client is idle; `engage()`
  /// starts a new hold.
  case holdLost(milliseconds: Int)

  /// How a helper process ended.
  public enum ExitStatus: Equatable, Sendable {
    /// It exited by itself with this code, 0 to 255.
    case exited(code: Int32)
    /// A signal ended it, such as `SIGKILL`.
    case signaled(signal: Int32)
    /// Not known: the application's own code reaped the helper first (a
    /// `waitpid(-1)` loop, or SIGCHLD ignored).
    case unknown

    /// Decodes a wait status; the library reports -1 for a helper reaped by
    /// someone else.
    init(waitStatus: Int) {
      let signal = waitStatus & 0x7f  // 0 for an exit, 0x7f for a stop
      if waitStatus < 0 || signal == 0x7f {
        self = .unknown
      } else if signal == 0 {
        self = .exited(code: Int32((waitStatus >> 8) & 0xff))
      } else {
        self = .signaled(signal: Int32(signal))
      }
    }
  }
}

// Carries events from the client's thread to the caller's queue and to the
// stream. The C client holds it unretained: the PalisadeClient owns it, and
// palisade_close returns only after the last callback has.
final class EventRelay: @unchecked Sendable {  // `handler` is guarded by `lock`; the rest never changes
  /// A stream nobody reads must not grow for the application's life.
  static let unreadEventsKept = 64

  let events: AsyncStream<PalisadeEvent>
  private let continuation: AsyncStream<PalisadeEvent>.Continuation
  private let queue: DispatchQueue
  // Dropped at close, so that a closure capturing the client frees it then.
  private var handler: (@Sendable (PalisadeEvent) -> Void)?
  private let lock = NSLock()

  init(queue: DispatchQueue, handler: (@Sendable (PalisadeEvent) -> Void)?) {
    (events, continuation) = AsyncStream.makeStream(bufferingPolicy: .bufferingNewest(Self.unreadEventsKept))
    self.queue = queue
    self.handler = handler
  }

  // The client's thread: never waits, so a close on the event queue, which
  // joins that thread, cannot deadlock with it.
  func send(_ event: PalisadeEvent) {
    continuation.yield(event)
    guard currentHandler != nil else { return }
    queue.async { self.currentHandler?(event) }
  }

  /// Drops the closure, with the events still queued for it, and ends the
  /// stream.
  func close() {
    lock.lock()
    handler = nil
    lock.unlock()
    continuation.finish()
  }

  private var currentHandler: (@Sendable (PalisadeEvent) -> Void)? {
    lock.lock()
    defer { lock.unlock() }
    return handler
  }
}

// The C library's on_event, on the client's thread.
func relayEvent(context: UnsafeMutableRawPointer?, event: palisade_event, detail: Int) {
  let relay = Unmanaged<EventRelay>.fromOpaque(context!).takeUnretainedValue()
  switch event {
  case PALISADE_EVENT_HELPER_EXITED: relay.send(.helperExited(status: .init(waitStatus: detail)))
  case PALISADE_EVENT_HELPER_RESTARTED: relay.send(.helperRestarted(pid: pid_t(truncatingIfNeeded: detail)))
  case PALISADE_EVENT_HOLD_LOST: relay.send(.holdLost(milliseconds: detail))
  default: break  // an event this wrapper does not know yet
  }
}

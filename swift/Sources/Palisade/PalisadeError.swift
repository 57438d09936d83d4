// Refusals as sentences a person can act on: what failed, and why.
import CPalisadeClient
import Foundation

#if canImport(Glibc)
import Glibc
#elseif canImport(Darwin)
import Darwin
#endif

/// A call the client refused. `localizedDescription` (and `description`) is
/// `message`: a sentence naming what failed and why, such as "Could not start
/// the helper at /x/palisade: No such file or directory".
public struct PalisadeError: Error, Equatable, LocalizedError, CustomStringConvertible {
  /// The library's status; an open set, so a newer library's status still maps.
  public struct Status: RawRepresentable, Hashable, Sendable, CustomStringConvertible {
    /// The C library's `palisade_status` number.
    public let rawValue: Int32
    /// Wraps a `palisade_status` number, known or not.
    ///
    /// - Parameter rawValue: The C library's status number.
    public init(rawValue: Int32) { self.rawValue = rawValue }
    /// An option was refused; `message` names it and the value.
    public static let invalidArgument = Status(rawValue: 1)
    /// The helper could not be started; `message` names its path and the system's reason.
    public static let spawnFailed = Status(rawValue: 2)
    /// The helper died and no restart is left; the client can only be closed.
    public static let helperGone = Status(rawValue: 3)
    /// `close(timeout:)` has begun on this client.
    public static let closed = Status(rawValue: 4)

    /// The status's name, such as `spawnFailed`.
    public var description: String {
      switch self {
      case .invalidArgument: "invalidArgument"
      case .spawnFailed: "spawnFailed"
      case .helperGone: "helperGone"
      case .closed: "closed"
      default: "status \(rawValue)"
      }
    }
  }

  /// Which kind of refusal this is.
  public let status: Status
  /// What failed and why, in one sentence.
  public let message: String

  /// The same as `message`.
  public var errorDescription: String? { message }
  /// The same as `message`.
  public var description: String { message }

  init(_ status: Status, _ message: String) {
    self.status = status
    self.message = message
  }

  /// `what` could not be done, for the reason the library gives for `status`.
  init(couldNot what: String, _ status: palisade_status) {
    self.init(Status(rawValue: Int32(truncatingIfNeeded: status.rawValue)),
              "Could not \(what): \(String(cString: palisade_status_message(status)))")
  }

  static func spawnFailed(path: String, errno reason: Int32) -> PalisadeError {
    PalisadeError(.spawnFailed, "Could not start the helper at \(path): \(String(cString: strerror(reason)))")
  }

  static func searchFailed(in places: [String], errno reason: Int32) -> PalisadeError {
    if reason != ENOENT, let found = places.first(where: { access($0, X_OK) == 0 }) {
      return spawnFailed(path: found, errno: reason)
    }
    let looked = places.isEmpty ? "there was no place to look" : "looked for an executable file at "
      + places.joined(separator: ", then ")
    return PalisadeError(.spawnFailed, "Found no helper to start: \(looked)")
  }

  static func invalid(_ option: String, _ value: String, _ reason: String) -> PalisadeError {
    PalisadeError(.invalidArgument, "Invalid \(option) \(value): \(reason)")
  }
}

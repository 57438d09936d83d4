import Foundation

// The spelling of 0.1.0's first Swift package, where each descriptor kept its
// own number in the helper: source that used it still builds. Disfavoured,
// so that `inheritedDescriptors: []`, which fits both, takes the pairs.
extension PalisadeClient {
  /// Hands each of `inheritedDescriptors` to the helper at its own number;
  /// otherwise `init(helperPath:...)`.
  ///
  /// - Throws: A `PalisadeError`, as there.
  @_disfavoredOverload
  @available(*, deprecated, message: "pass pairs: inheritedDescriptors: [(fd, as: fd)]; in a Swift process hand over what pipe() returned, at the helper's numbers")
  public convenience init(helperPath: String? = nil, keepAliveInterval: Double = 0.5, keepAliveSource: KeepAliveSource = .mainQueue,
                          maxRestarts: Int = 3, inheritedDescriptors: [Int32],
                          eventQueue: DispatchQueue = .main, onEvent: (@Sendable (PalisadeEvent) -> Void)? = nil) throws {
    try self.init(helperPath: helperPath, keepAliveInterval: keepAliveInterval, keepAliveSource: keepAliveSource,
                  maxRestarts: maxRestarts, inheritedDescriptors: inheritedDescriptors.map { ($0, as: $0) },
                  eventQueue: eventQueue, onEvent: onEvent)
  }

  /// Hands each of `inheritedDescriptors` to the helper at its own number;
  /// otherwise `init(helperURL:...)`.
  ///
  /// - Throws: A `PalisadeError`, as there.
  @_disfavoredOverload
  @available(*, deprecated, message: "pass pairs: inheritedDescriptors: [(fd, as: fd)]; in a Swift process hand over what pipe() returned, at the helper's numbers")
  public convenience init(helperURL: URL, keepAliveInterval: Double = 0.5, keepAliveSource: KeepAliveSource = .mainQueue,
                          maxRestarts: Int = 3, inheritedDescriptors: [Int32],
                          eventQueue: DispatchQueue = .main, onEvent: (@Sendable (PalisadeEvent) -> Void)? = nil) throws {
    try self.init(helperURL: helperURL, keepAliveInterval: keepAliveInterval, keepAliveSource: keepAliveSource,
                  maxRestarts: maxRestarts, inheritedDescriptors: inheritedDescriptors.map { ($0, as: $0) },
                  eventQueue: eventQueue, onEvent: onEvent)
  }
}

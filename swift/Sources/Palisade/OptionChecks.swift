// The checks init(helperPath:...) makes of its options before it starts
// anything, so that a refusal names the option as Swift spells it.
#if canImport(Glibc)
import Glibc
#elseif canImport(Darwin)
import Darwin
#endif

extension PalisadeClient {
  // An interval within the helper's silence limit, and descriptors of ours
  // that are open and land on distinct numbers above its standard streams.
  static func validate(keepAliveInterval: Double, inheritedDescriptors: [(Int32, as: Int32)]) throws {
    guard keepAliveInterval > 0 && keepAliveInterval < 3 else {  // NaN fails too
      throw PalisadeError.invalid("keepAliveInterval", "\(keepAliveInterval)", "it must be above 0 and below 3 seconds")
    }
    var taken = Set<Int32>()
    for (ours, theirs) in inheritedDescriptors {
      let entry = "entry (\(ours), as: \(theirs))"
      if fcntl(ours, F_GETFD) == -1 {
        throw PalisadeError.invalid("inheritedDescriptors", entry, "our descriptor \(ours) is not open")
      }
      if theirs < 3 {
        throw PalisadeError.invalid("inheritedDescriptors", entry,
                                    "the helper's 0, 1 and 2 are its standard streams; use 3 or above")
      }
      if !taken.insert(theirs).inserted {
        throw PalisadeError.invalid("inheritedDescriptors", entry, "another descriptor already becomes the helper's \(theirs)")
      }
    }
  }
}

// A minimal application that embeds the Palisade helper: one window with a
// button that hides the Dock and holds the front for a few seconds, then
// gives them back. It passes no helper path: the client finds the helper in
// this bundle's Contents/Helpers, where scripts/embed-helper.sh puts it.
//
//   PalisadeExample [--unattended] [--hold SECONDS]
//
// --unattended does the same with no window, then quits: the macOS workflow
// runs it so while it watches the front and the Dock. It prints what it does
// ("engaged helper=PID", "released", "closed") and exits 1 when the helper
// cannot be started or driven.
import AppKit
import Palisade

/// One line to standard output at once, unbuffered, into a pipe or a file too.
func say(_ line: String) { FileHandle.standardOutput.write(Data((line + "\n").utf8)) }

@MainActor final class Example: NSObject, NSApplicationDelegate {
  let unattended: Bool
  let holdSeconds: Double
  private var client: PalisadeClient?
  private var window: NSWindow?
  private var button: NSButton?

  init(unattended: Bool, holdSeconds: Double) {
    self.unattended = unattended
    self.holdSeconds = holdSeconds
  }

  func applicationDidFinishLaunching(_ notification: Notification) {
    do {
      // Events arrive on the main queue; lost holds and restarts are only told.
      client = try PalisadeClient { event in say("event \(event)") }
    } catch {
      fail(error)
      NSApp.terminate(nil)
      return
    }
    if unattended {
      hold()
    } else {
      showWindow()
    }
  }

  func applicationShouldTerminateAfterLastWindowClosed(_ sender: NSApplication) -> Bool { true }

  // Releases if still engaged and waits up to a second for the helper to exit.
  func applicationWillTerminate(_ notification: Notification) {
    client?.close(timeout: 1)
    client = nil
    say("closed")
  }

  @objc func holdPressed(_ sender: NSButton) { hold() }

  // Engages, releases after `holdSeconds`, and in unattended mode quits a
  // little later, once the front and the Dock are back.
  private func hold() {
    guard let client, attempt(client.engage) else { return }
    say("engaged helper=\(client.helperPID)")
    button?.isEnabled = false
    Task { @MainActor in
      try? await Task.sleep(nanoseconds: UInt64(holdSeconds * 1e9))
      guard attempt(client.release) else { return }
      say("released")
      button?.isEnabled = true
      guard unattended else { return }
      try? await Task.sleep(nanoseconds: 2_000_000_000)
      NSApp.terminate(nil)
    }
  }

  private func showWindow() {
    let window = NSWindow(contentRect: NSRect(x: 0, y: 0, width: 360, height: 120),
                          styleMask: [.titled, .closable], backing: .buffered, defer: false)
    window.title = "Palisade Example"
    window.isReleasedWhenClosed = false
    let button = NSButton(title: "Hide the Dock for \(Int(holdSeconds)) s", target: self,
                          action: #selector(holdPressed(_:)))
    button.frame = NSRect(x: 80, y: 40, width: 200, height: 32)
    window.contentView?.addSubview(button)
    window.center()
    window.makeKeyAndOrderFront(nil)
    // macOS 14's cooperative activation supersedes the forced kind.
    if #available(macOS 14, *) {
      NSApp.activate()
    } else {
      NSApp.activate(ignoringOtherApps: true)
    }
    self.window = window
    self.button = button
  }

  // Runs one of the client's calls; a refusal is reported and is false.
  private func attempt(_ call: () throws -> Void) -> Bool {
    do {
      try call()
      return true
    } catch {
      fail(error)
      return false
    }
  }

  private func fail(_ error: Error) {
    FileHandle.standardError.write(Data("PalisadeExample: \(error.localizedDescription)\n".utf8))
    if unattended {
      client?.close(timeout: 1)
      exit(1)
    }
    _ = NSAlert(error: error).runModal()
  }
}

let arguments = CommandLine.arguments
let holdIndex = arguments.firstIndex(of: "--hold").map { $0 + 1 }
// Anything but a number of seconds up to an hour holds for the default 5 s.
let holdSeconds = holdIndex.flatMap { $0 < arguments.count ? Double(arguments[$0]) : nil }
  .flatMap { (0...3600).contains($0) ? $0 : nil } ?? 5
let example = Example(unattended: arguments.contains("--unattended"), holdSeconds: holdSeconds)
let app = NSApplication.shared
app.delegate = example
app.run()

#pragma once

// A D-Bus session bus of a test's own, with nothing on it: for a program that must cope with a
// bus where no notification service runs, or with a bus that never answers. Not installed.

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "KestroCore/Platform/Process/Process.h"

namespace kestro::testsupport {

// A dbus-daemon of its own in `directory`, ended with the object. With Replies::dropped its
// policy lets no answer through to a client (its greeting's included): a bus that takes the
// connection, authenticates it and then keeps silent.
class PrivateBus {
 public:
  enum class Replies { delivered, dropped };

  PrivateBus(const std::filesystem::path& directory, Replies replies) {
    const std::filesystem::path configuration = directory / "bus.conf";
    std::ofstream(configuration)
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig><type>session</type><listen>unix:dir="
        << directory.native() << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
        << (replies == Replies::delivered
                ? "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                : "<allow send_destination=\"*\"/>")
        << "<allow own=\"*\"/></policy></busconfig>\n";
    ProcessOptions options;
    options.arguments = {"/usr/bin/dbus-daemon", "--nofork", "--print-address=1",
                         "--config-file=" + configuration.native()};
    options.standardOutput = ProcessOutput::capture();
    options.standardError = ProcessOutput::capture();
    process_.emplace(Process::start(std::move(options)));
    address_ = process_->readLine(std::chrono::seconds(10)).value_or("");
    EXPECT_NE(address_, "") << process_->standardError();
  }

  ~PrivateBus() {
    process_->signal(SIGTERM);
    process_->wait();
  }

  const std::string& address() const { return address_; }

 private:
  std::optional<Process> process_;
  std::string address_;
};

}  // namespace kestro::testsupport

// Runs usb_communicate against a simulated printer and keeps the Qt debug lines it writes.
#pragma once

#include "simulatedusbprinter.h"
#include "usb_communicate.h"

#include <QString>
#include <QStringList>
#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <string>

class UsbLinkTest : public ::testing::Test
{
  protected:
    void SetUp() override;
    void TearDown() override;

    // Builds the bus from script text; fails the test on a script error.
    void startPrinter(const std::string &scriptText);
    // Changes the printer's behaviour without touching the bus.
    void changeScript(const std::string &scriptText);

    int send(const std::string &command);
    // ReadCmd into a zeroed buffer of `capacity` bytes; *reply gets the first `result` of them.
    int read(unsigned int capacity, std::string *reply = nullptr);
    // Debug lines since the last call.
    QStringList takeLog();

    std::unique_ptr<zlpsim::SimulatedUsbPrinter> printer_;
    usb_communicate link_; // declared after the printer, so it closes first

  private:
    QtMessageHandler previousHandler_ = nullptr;
};

// Milliseconds that f takes.
template <typename F> long long millisecondsOf(F &&f)
{
    auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "pty_line.h"
#include "serial_port.h"

// A pseudo-terminal whose slave is mapped to COM7 through KESTREL_COM_DIR. The test plays the
// device on the master side; the port under test opens the slave.
class PtyFixture : public ::testing::Test {
  protected:
    static constexpr int kPort = 7;

    void SetUp() override;
    void TearDown() override;

    // Adds KESTREL_COM_DIR/COM<port> -> target.
    void LinkCom(int port, const std::string& target);
    const std::string& ComDir() const { return m_comDir; }
    const std::string& SlavePath() const { return m_line->SlavePath(); }

    void WriteToMaster(const std::vector<std::uint8_t>& bytes) const;
    // Reads from the master until count bytes came or the time is up.
    std::vector<std::uint8_t> ReadFromMaster(std::size_t count,
                                             std::chrono::milliseconds limit) const;
    void CloseMaster();
    int Master() const { return m_line->Master(); }

    // Fills the slave-to-master direction (the master never reads) and suspends it, so
    // nothing more is accepted. Uses a second descriptor of the slave; false when refused.
    bool HoldTowardMaster();

    // Records what the port shows in message boxes.
    void Watch(CSerialPort& port);
    std::vector<std::string> m_messages;

  private:
    std::unique_ptr<PtyLine> m_line;
    int m_holder = -1;
    std::string m_comDir;
};

std::vector<std::uint8_t> Pattern(std::size_t count, std::uint8_t first = 1);
std::chrono::milliseconds ElapsedSince(std::chrono::steady_clock::time_point start);

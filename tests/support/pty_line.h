#pragma once

#include <string>
#include <vector>

// A pseudo-terminal that a test or the benchmark plays a device on: the master side is the
// device's, the slave is what the port under test opens, published as <folder>/COM<n> where
// KESTREL_COM_DIR points. Everything it opened or published goes away with it.
class PtyLine {
  public:
    enum class Mode { Blocking, NonBlocking };

    explicit PtyLine(Mode mode = Mode::NonBlocking);
    ~PtyLine();
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    bool Ready() const { return m_master >= 0; }
    // Why the line or a link could not be made; empty when all went well.
    const std::string& Error() const { return m_error; }
    int Master() const { return m_master; }
    const std::string& SlavePath() const { return m_slavePath; }

    // Opens the slave once more, raw, and keeps it open: the line stays up while the port under
    // test is closed, and nothing the port has not set yet echoes or rewrites bytes.
    int KeepSlaveOpen();
    int SlaveKeeper() const { return m_slaveKeeper; }
    // <folder>/COM<com> -> target (the slave by default), replacing a link left there.
    bool Publish(const std::string& folder, int com, const std::string& target = {});
    void CloseMaster();

  private:
    int m_master = -1;
    int m_slaveKeeper = -1;
    std::string m_slavePath;
    std::string m_error;
    std::vector<std::string> m_links;
};

#pragma once

#include <memory>
#include <string>

namespace sim {

// The serial side of the simulator: a pseudo-terminal whose slave is published as
// $KESTREL_COM_DIR/COMn for the panel to open. The simulator keeps the slave open too, so the
// panel closing the port does not leave the master in a hang-up state.
class PtyLine {
  public:
    static std::unique_ptr<PtyLine> Open(const std::string& comName, std::string* error);
    ~PtyLine();
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    int MasterFd() const { return master_; }
    const std::string& SlavePath() const { return slavePath_; }
    const std::string& LinkPath() const { return linkPath_; }

    // True when whoever has the port open has set the line to `baud`.
    bool RateIs(int baud) const;

  private:
    PtyLine() = default;
    bool Create(const std::string& linkPath, std::string* error);
    bool Publish(std::string* error);

    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
    std::string linkPath_;
    bool published_ = false;
};

}  // namespace sim

// kestrel-sim: one simulated I/O module on a TCP port or a pseudo-terminal.
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "discovery_setup.h"
#include "module_model.h"
#include "options.h"
#include "simulator.h"

namespace {

int g_stopPipe[2] = {-1, -1};

extern "C" void OnStopSignal(int) {
    const char byte = 1;
    const ssize_t ignored = ::write(g_stopPipe[1], &byte, 1);
    (void)ignored;
}

bool InstallStopSignals() {
    if (::pipe2(g_stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    ::sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    // A starter may hand down a mask that blocks them (a thread of a test, a job of a script).
    sigset_t stops;
    ::sigemptyset(&stops);
    ::sigaddset(&stops, SIGINT);
    ::sigaddset(&stops, SIGTERM);
    ::sigprocmask(SIG_UNBLOCK, &stops, nullptr);
    return true;
}

sim::ModuleModel MakeModule(const sim::SimOptions& options) {
    sim::ModuleSettings settings;
    settings.address = static_cast<Byte>(options.address);
    settings.answerBroadcastUnit = options.answerBroadcastUnit;
    settings.baudIndex =
        options.serial ? static_cast<Byte>(sim::BaudIndexOf(options.baud)) : sim::kDefaultBaudIndex;
    sim::ModuleModel module(settings);
    for (int k = 0; k < sim::kDigitalInputCount; ++k) {
        module.SetDigitalInput(k, options.digitalInputs[static_cast<std::size_t>(k)]);
    }
    for (int k = 0; k < sim::kAnalogInputCount; ++k) {
        module.SetAnalogInput(k, options.analogInputs[static_cast<std::size_t>(k)]);
    }
    return module;
}

}  // namespace

int main(int argc, char** argv) {
    const sim::ParsedCommandLine parsed =
        sim::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (parsed.showHelp) {
        std::cout << sim::HelpText();
        return 0;
    }
    if (!parsed.error.empty()) {
        std::cerr << "kestrel-sim: " << parsed.error << "\n";
        return 2;
    }
    if (!InstallStopSignals()) {
        std::cerr << "kestrel-sim: cannot set up signal handling\n";
        return 1;
    }
    sim::ModuleModel module = MakeModule(parsed.options);
    sim::Simulator simulator(parsed.options, module);
    std::string error;
    if (!simulator.Open(&error)) {
        std::cerr << "kestrel-sim: " << error << "\n";
        return 1;
    }
    std::unique_ptr<DiscoveryResponder> discovery;
    if (!parsed.options.serial && parsed.options.discovery.enabled) {
        discovery = sim::StartDiscovery(parsed.options, simulator.BoundPort(), &error);
        if (!discovery) std::cerr << "kestrel-sim: discovery disabled: " << error << "\n";
    }
    std::cout << simulator.ListeningLine() << std::endl;
    simulator.Run(g_stopPipe[0]);
    return 0;
}

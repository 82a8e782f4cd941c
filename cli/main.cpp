// kestrel-cli: the modules from the command line, one or a hundred at a time.
#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <csignal>
#include <iostream>

#include "cli_options.h"
#include "device_search.h"
#include "job_runner.h"
#include "output.h"
#include "param_names.h"
#include "version.h"

namespace {

constexpr int kUsageError = 2;
constexpr int kSignalBase = 128;

int g_signalPipe[2] = {-1, -1};
volatile std::sig_atomic_t g_signal = 0;

void OnTerminationSignal(int signo) {
    g_signal = signo;
    const char byte = 1;
    [[maybe_unused]] const auto ignored = write(g_signalPipe[1], &byte, 1);
}

bool Interrupted() {
    return g_signal != 0;
}

// SIGINT and SIGTERM end the run: a blocking read (the confirmation) is interrupted rather than
// resumed, and the event loop hears of it through the pipe.
void CatchTerminationSignals() {
    std::signal(SIGPIPE, SIG_IGN);
    if (pipe2(g_signalPipe, O_NONBLOCK | O_CLOEXEC) != 0) {
        return;
    }
    struct sigaction action {};
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// The status of the whole run: the highest of the modules'.
int WorstStatus(const std::vector<JobResult>& results) {
    int status = 0;
    for (const JobResult& result : results) {
        status = std::max(status, result.status);
    }
    return status;
}

class Run {
  public:
    explicit Run(cli::Options options)
        : m_options(std::move(options)), m_output(m_options.json, m_options.quiet) {}

    // The exit status.
    int Execute() {
        if (m_options.command == cli::Command::Relays) {
            Output::Error("relays",
                          "this module family has no read of its relay states; the state of "
                          "relay K is the module's echo of \"relay K on|off\"");
            return kUsageError;
        }
        if (m_options.command == cli::Command::Discover) {
            if (!Discover()) {
                return Ended(1);
            }
            if (!m_options.each) {
                return Ended(0);
            }
            m_options.command = m_options.eachCommand;
            return Execute();
        }
        if (m_options.command == cli::Command::ParamsSet) {
            return Ended(SetParams());
        }
        const auto results = RunJobs(m_options.command, {}, true);
        return Ended(WorstStatus(results));
    }

  private:
    int Ended(int status) const {
        if (!Interrupted()) {
            return status;
        }
        return m_options.command == cli::Command::Watch ? 0 : kSignalBase + g_signal;
    }

    std::vector<JobResult> RunJobs(cli::Command command,
                                   const std::vector<std::optional<ModuleJob::Work>>& writes,
                                   bool printResults) {
        const auto& targets = m_options.targets;
        const std::size_t bound =
            command == cli::Command::Watch ? targets.size() : std::size_t{cli::kMaxParallel};
        JobRunner runner(targets.size(), bound, [&](std::size_t index) {
            ModuleJob::Work work{command, std::nullopt, 0};
            if (!writes.empty() && writes[index]) {
                work = *writes[index];
            }
            return std::make_unique<ModuleJob>(targets[index], m_options, work, Interrupted);
        });
        if (printResults) {
            runner.OnResult([this](const JobResult& result) { m_output.Result(result); });
        }
        runner.OnEvent([&](std::size_t index, const JobEvent& event) {
            m_output.Event(targets[index].Name(), event);
        });
        QSocketNotifier notifier(g_signalPipe[0], QSocketNotifier::Read);
        QObject::connect(&notifier, &QSocketNotifier::activated, &runner, &JobRunner::Abort);
        if (Interrupted()) {
            return {};
        }
        return runner.Run();
    }

    // The modules the search library finds, as the panel lists them; with --each they become
    // the targets of the command.
    bool Discover() {
        DeviceSearch search;
        if (!search.Load("DAVazIvurirU2")) {
            Output::Error("discover", "Load library failed!");
            return false;
        }
        const auto rows = search.Search(m_options.framing);
        if (rows.empty()) {
            Output::Error("discover", "no module answered the search");
            return false;
        }
        for (const DeviceSearch::Row& row : rows) {
            if (m_options.each) {
                m_options.targets.push_back(
                    {false, row[1].toStdString(), static_cast<std::uint16_t>(row[2].toUInt()), {}});
            } else {
                PrintRow(row);
            }
        }
        return true;
    }

    void PrintRow(const DeviceSearch::Row& row) const {
        if (m_options.quiet) {
            return;
        }
        static const std::array<const char*, DeviceSearch::kColumnCount> kKeys = {
            "name", "ip", "port", "work_mode", "protocol", "uart"};
        std::string line;
        for (std::size_t column = 0; column < row.size(); ++column) {
            const std::string text = row[column].toStdString();
            if (m_options.json) {
                line += (column ? "," : "{") + JsonString(kKeys[column]) + ":" +
                        (column == 2 ? text : JsonString(text));
            } else {
                line += (column ? "\t" : "") + text;
            }
        }
        std::cout << line << (m_options.json ? "}" : "") << std::endl;
    }

    int SetParams();
    std::optional<ModuleJob::Work> PlanWrite(JobResult& result) const;
    bool Confirmed(std::size_t count) const;

    cli::Options m_options;
    Output m_output;
};

// The write planned for one module from the block read: nothing when the fields clash (the
// result then says so), otherwise the block to write, shown to the operator.
std::optional<ModuleJob::Work> Run::PlanWrite(JobResult& result) const {
    ParamFields fields = FieldsOfBlock(result.params);
    ApplyAssignments(m_options.assignments, fields);
    DeviceParams block = result.params;
    StoreFields(fields, block);
    if (AddressesClash(fields)) {
        const std::string both = "address=" + std::to_string(fields.slaveAddr) +
                                 " di-upload-address=" + std::to_string(fields.uploadAddr);
        result = {result.module,
                  result.command,
                  1,
                  result.unit,
                  {},
                  {},
                  both + ": " + kSameAddressText,
                  {}};
        return std::nullopt;
    }
    const std::string changes = ChangesText(result.params, block);
    if (!m_options.quiet || !m_options.yes) {
        m_output.Note(result.module + " unit " + std::to_string(result.unit.value_or(0)) +
                      ": will write " + BlockText(block) +
                      (changes.empty() ? " (no change)" : " (" + changes + ")"));
    }
    return ModuleJob::Work{cli::Command::ParamsSet, block, result.unit.value_or(0)};
}

// Reads every block, shows what will be written, asks, writes, reads back: one result a module.
int Run::SetParams() {
    auto results = RunJobs(cli::Command::ParamsSet, {}, false);
    if (Interrupted()) {
        return 0;  // the reads did not all end: nothing is planned, nothing written
    }
    std::vector<std::optional<ModuleJob::Work>> writes(results.size());
    for (std::size_t i = 0; i < results.size(); ++i) {
        if (results[i].status == 0) {
            writes[i] = PlanWrite(results[i]);
        }
    }
    const auto count = static_cast<std::size_t>(
        std::count_if(writes.begin(), writes.end(), [](const auto& w) { return w.has_value(); }));
    if (count > 0 && !Interrupted() && !Confirmed(count)) {
        for (const JobResult& result : results) {
            if (result.status != 0) m_output.Result(result);
        }
        return std::max(WorstStatus(results), isatty(STDIN_FILENO) != 0 ? 1 : kUsageError);
    }
    if (count > 0 && !Interrupted()) {
        const auto written = RunJobs(cli::Command::ParamsSet, writes, false);
        for (std::size_t i = 0; i < written.size(); ++i) {
            if (writes[i]) results[i] = written[i];
        }
    }
    for (const JobResult& result : results) {
        m_output.Result(result);
    }
    return WorstStatus(results);
}

// --yes, or a "y" typed at the terminal.
bool Run::Confirmed(std::size_t count) const {
    if (m_options.yes) {
        return true;
    }
    if (isatty(STDIN_FILENO) == 0) {
        Output::Error("params set",
                      "nothing written: give --yes to write (standard input is "
                      "not a terminal to ask on)");
        return false;
    }
    std::cerr << "Write the parameters to " << count << (count == 1 ? " module" : " modules")
              << "? [y/N] " << std::flush;
    std::string answer;
    char c = 0;
    while (read(STDIN_FILENO, &c, 1) == 1 && c != '\n') {
        answer += c;
    }
    if (answer == "y" || answer == "Y" || answer == "yes") {
        return true;
    }
    Output::Error("params set", "nothing written");
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    const cli::Parsed parsed =
        cli::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (parsed.help) {
        std::cout << cli::HelpText();
        return 0;
    }
    if (parsed.version) {
        std::cout << "kestrel-cli " << KESTREL_VERSION << std::endl;
        return 0;
    }
    if (!parsed.error.empty()) {
        Output::Error({}, parsed.error);
        return kUsageError;
    }
    CatchTerminationSignals();
    QCoreApplication application(argc, argv);
    Run run(parsed.options);
    return run.Execute();
}

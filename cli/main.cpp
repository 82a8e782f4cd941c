// kestrel-cli: the modules from the command line, one or a hundred at a time.
#include <chrono>
#include <iostream>

#include "cli_options.h"
#include "device_search.h"
#include "job_runner.h"
#include "output.h"
#include "param_names.h"
#include "platform.h"
#include "signal_watch.h"
#include "version.h"

namespace {

constexpr int kUsageError = 2;
constexpr int kSignalBase = 128;

bool Interrupted() {
    return SignalWatch::Caught() != 0;
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
    Run(cli::RunLoop& loop, cli::Options options)
        : m_loop(loop),
          m_options(std::move(options)),
          m_output(m_options.json, m_options.quiet,
                   m_options.pollMs > 0 || m_options.command == cli::Command::Watch) {}

    // SIGINT or SIGTERM, on the loop: the jobs under way end, as does a pause between rounds.
    void Interrupt() {
        if (const auto runner = m_runner.lock()) {
            runner->Abort();
        }
        m_loop.Quit();
    }

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
        if (m_options.pollMs > 0) {
            return Poll();
        }
        const std::size_t bound = m_options.command == cli::Command::Watch
                                      ? m_options.targets.size()
                                      : std::size_t{cli::kMaxParallel};
        const auto runner = MakeRunner(m_options.command, bound);
        runner->OnResult([this](const JobResult& result) { m_output.Result(result); });
        return Ended(Interrupted() ? 0 : WorstStatus(runner->Run()));
    }

  private:
    int Ended(int status) const {
        if (!Interrupted()) {
            return status;
        }
        return m_options.command == cli::Command::Watch ? 0 : kSignalBase + SignalWatch::Caught();
    }

    // A runner of one job a module; a job kept from the last round of --poll runs again.
    std::shared_ptr<JobRunner> MakeRunner(cli::Command command, std::size_t bound) {
        const auto& targets = m_options.targets;
        auto runner = std::make_shared<JobRunner>(
            m_loop, targets.size(), bound, [this, command](std::size_t index) {
                if (index < m_kept.size() && m_kept[index]) {
                    return std::move(m_kept[index]);
                }
                return std::make_unique<ModuleJob>(m_loop, m_loop.Tcp(), m_options.targets[index],
                                                   m_options, command, Interrupted);
            });
        runner->OnEvent([this](std::size_t index, const JobEvent& event) {
            m_output.Event(m_options.targets[index].Name(), event);
        });
        m_runner = runner;
        return runner;
    }

    // The command again every --poll MS, on the links that answered the round before, until
    // interrupted; the status is the highest of every round.
    int Poll() {
        m_kept.resize(m_options.targets.size());
        const auto period = std::chrono::milliseconds(m_options.pollMs);
        auto round = std::chrono::steady_clock::now();
        int worst = 0;
        while (!Interrupted()) {
            const auto runner = MakeRunner(m_options.command, cli::kMaxParallel);
            runner->OnResult([this](const JobResult& result) { m_output.Result(result); });
            runner->KeepFinished([this](std::size_t index, std::unique_ptr<ModuleJob> job) {
                m_kept[index] = std::move(job);
            });
            worst = std::max(worst, WorstStatus(runner->Run()));
            round = std::max(round + period, std::chrono::steady_clock::now());
            WaitUntil(round);
        }
        return worst;
    }

    void WaitUntil(std::chrono::steady_clock::time_point when) {
        const auto wait =
            std::chrono::ceil<std::chrono::milliseconds>(when - std::chrono::steady_clock::now());
        if (Interrupted() || wait.count() <= 0) {
            return;
        }
        const auto pause = m_loop.MakeTimer();
        pause->Start(wait, [this] { m_loop.Quit(); });
        m_loop.Run();
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
                    {false, row[1], static_cast<std::uint16_t>(std::stoul(row[2])), {}});
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
            const std::string& text = row[column];
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
    std::optional<DeviceParams> PlanWrite(JobResult& result) const;
    bool Confirmed(std::size_t count) const;
    void PrintResults(const std::vector<JobResult>& results, bool failuresOnly) const;

    cli::RunLoop& m_loop;
    cli::Options m_options;
    Output m_output;
    std::weak_ptr<JobRunner> m_runner;               // the one a signal aborts
    std::vector<std::unique_ptr<ModuleJob>> m_kept;  // --poll: the links kept open
};

// The write planned for one module from the block read: nothing when the values do not fit it
// (the result then says so, status 2), otherwise the block to write, shown to the operator.
std::optional<DeviceParams> Run::PlanWrite(JobResult& result) const {
    ParamFields fields = FieldsOfBlock(result.params);
    ApplyAssignments(m_options.assignments, fields);
    DeviceParams block = result.params;
    StoreFields(fields, block);
    std::string refusal;
    if (fields.slaveAddr == 0) {
        refusal = "address=0: address must be 1..255 (give address=U)";
    } else if (AddressesClash(fields)) {
        refusal = "address=" + std::to_string(fields.slaveAddr) +
                  " di-upload-address=" + std::to_string(fields.uploadAddr) + ": " +
                  kAddressesDifferText;
    }
    if (!refusal.empty()) {
        result.status = kUsageError;
        result.error = refusal + "; nothing written";
        return std::nullopt;
    }
    const std::string changes = ChangesText(result.params, block);
    if (!m_options.quiet || !m_options.yes) {
        m_output.Note(result.module + " unit " + std::to_string(result.unit.value_or(0)) +
                      ": will write " + BlockText(block) +
                      (changes.empty() ? " (no change)" : " (" + changes + ")"));
    }
    return block;
}

void Run::PrintResults(const std::vector<JobResult>& results, bool failuresOnly) const {
    for (const JobResult& result : results) {
        if (!failuresOnly || result.status > 0) m_output.Result(result);
    }
}

// Reads every block, shows what will be written, asks, and writes, each module on the one link
// it was read on: a block read again just before the write must still be the one planned on.
int Run::SetParams() {
    const std::size_t count = m_options.targets.size();
    const auto runner = MakeRunner(cli::Command::ParamsSet, count);  // every link stays open
    auto results = runner->Run();
    std::vector<std::optional<DeviceParams>> plans(count);
    std::size_t planned = 0;
    for (std::size_t i = 0; i < count && !Interrupted(); ++i) {
        if (results[i].status == JobResult::kDone) {
            plans[i] = PlanWrite(results[i]);
            if (plans[i])
                ++planned;
            else
                runner->Drop(i);
        }
    }
    const bool confirmed = planned > 0 && !Interrupted() && Confirmed(planned);
    if (Interrupted()) {
        Output::Error("params set", "interrupted; nothing written");
        return 0;
    }
    if (!confirmed) {
        PrintResults(results, true);
        const int refused = cli::InputIsTerminal() ? 1 : kUsageError;
        return std::max(WorstStatus(results), planned > 0 ? refused : 0);
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (plans[i]) runner->Continue(i, *plans[i]);
    }
    const auto written = runner->Run();
    for (std::size_t i = 0; i < count; ++i) {
        if (plans[i]) results[i] = written[i];
    }
    PrintResults(results, false);
    return WorstStatus(results);
}

// --yes, or a "y" typed at the terminal.
bool Run::Confirmed(std::size_t count) const {
    if (m_options.yes) {
        return true;
    }
    if (!cli::InputIsTerminal()) {
        Output::Error("params set",
                      "nothing written: give --yes to write (standard input is "
                      "not a terminal to ask on)");
        return false;
    }
    std::cerr << "Write the parameters to " << count << (count == 1 ? " module" : " modules")
              << "? [y/N] " << std::flush;
    std::string answer;
    char c = 0;
    while (cli::ReadInputChar(c) && c != '\n') {
        if (c != '\r') answer += c;  // a Windows console ends the line with both
    }
    if (answer == "y" || answer == "Y" || answer == "yes") {
        return true;
    }
    if (Interrupted()) {
        return false;
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
    cli::PrepareProcess();
    const auto loop = cli::MakeRunLoop();
    Run run(*loop, parsed.options);
    // SIGINT and SIGTERM (Ctrl+C, Ctrl+Break and the console's closing on Windows) end the run:
    // a blocking read (the confirmation) is interrupted rather than resumed, and the loop hears
    // of it.
    const SignalWatch signals(*loop, [&run](int) { run.Interrupt(); });
    return run.Execute();
}

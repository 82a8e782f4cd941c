#pragma once

#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli_options.h"
#include "device_params.h"
#include "module_link.h"
#include "reply_watch.h"

// What a command gave on one module: one result line (or JSON object), or the error.
struct JobResult {
    static constexpr int kDone = 0;
    static constexpr int kNoAnswer = 1;  // no reply, a refusal, the link lost, other parameters
    static constexpr int kNoLink = 3;    // the link could not be made
    std::string module;
    std::string command;
    int status = kNotEnded;
    static constexpr int kNotEnded = -1;  // the run was interrupted before the job ended
    std::optional<Byte> unit;
    std::string text;  // the result as words, when done
    std::string json;  // the result as JSON members (no braces), when done
    std::string error;
    DeviceParams params;  // the block read (params, and the read before params set)
};

// A report the module sent of its own accord (watch): as words and as JSON members.
struct JobEvent {
    std::string text;
    std::string json;
};

// Runs one command on one module: makes the link, learns the module's address as the panel does
// (the parameter read) unless told it, sends the panel's own frames and waits for each reply,
// then closes the link. One request is answered before the next is sent; the paced parameter
// write keeps the panel's pauses.
class ModuleJob : public QObject {
    Q_OBJECT
  public:
    // What to do: a command, or the write of a block decided beforehand (params set).
    struct Work {
        cli::Command command = cli::Command::Di;
        std::optional<DeviceParams> blockToWrite;
        Byte unitInForce = 0;  // with blockToWrite: the address the module answers to now
    };

    ModuleJob(const cli::Target& target, const cli::Options& options, Work work,
              std::function<bool()> ended);
    ~ModuleJob() override;

    void Start();
    // Ends at once, the link closed, with no result.
    void Abort();
    const JobResult& Result() const { return m_result; }

  signals:
    void Finished();
    void Event(const JobEvent& event);

  private:
    using ReplyHandler = std::function<void(const std::vector<Byte>&)>;

    void OnOpened(bool ok, const QString& failure);
    void OnFrame(const std::vector<Byte>& frame);
    void OnDeadline();
    void Ask(const std::vector<Byte>& frame, ReplyWatch::Request request, ReplyHandler then);
    void Watch(ReplyWatch::Request request);
    void ScheduleDeadline();

    void ReadBlock(std::function<void()> then);
    void TakeBlockReply(const std::vector<Byte>& frame, const std::function<void()>& then);
    void RunCommand();
    void SendCommandFrame(int k, std::string name, ReplyHandler then);
    void SwitchRelay();
    void QueryDi();
    void QueryAi();
    void WriteBlock(std::size_t next);
    void CompareReadBack();
    void ReportEvent(const std::vector<Byte>& frame);

    void Succeed(std::string text, std::string json);
    void Fail(int status, const std::string& error);
    void End();

    cli::Options m_options;
    bool m_serial;
    Work m_work;
    std::unique_ptr<ModuleLink> m_link;
    ReplyWatch m_watch;
    QTimer m_deadline;
    ReplyHandler m_then;
    bool m_readingBlock = false;
    bool m_watching = false;
    bool m_ended = false;
    Byte m_address = 0;
    DeviceParams m_block;
    JobResult m_result;
};

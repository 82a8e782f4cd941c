#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli_options.h"
#include "device_params.h"
#include "event_port.h"
#include "module_link.h"
#include "param_read.h"
#include "param_write.h"
#include "reply_deadline.h"
#include "tcp_port.h"

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
    std::chrono::system_clock::time_point at;  // when the result came
};

// A report the module sent of its own accord (watch): as words and as JSON members.
struct JobEvent {
    std::string text;
    std::string json;
};

// Runs one command on one module: makes the link, learns the module's address as the panel does
// (the parameter read) unless told it, sends the panel's own frames and waits for each reply,
// then closes the link. One request is answered before the next is sent; the paced parameter
// write keeps the panel's pauses. params set stays on its one link from the read to the read
// back: it parks once the block is read, and Write goes on from there.
class ModuleJob {
  public:
    struct Handlers {
        std::function<void()> finished;
        // params set: the block is read (the result holds it), the link stays open.
        std::function<void()> parked;
        std::function<void(const JobEvent& event)> event;
    };

    ModuleJob(EventPort& loop, TcpPort& tcp, const cli::Target& target, const cli::Options& options,
              cli::Command command, std::function<bool()> ended);
    ~ModuleJob();
    ModuleJob(const ModuleJob&) = delete;
    ModuleJob& operator=(const ModuleJob&) = delete;

    // Told on the loop's thread, from inside the job's own calls.
    void SetHandlers(Handlers handlers) { m_handlers = std::move(handlers); }

    // Runs the command; again on the same link when the last run succeeded (--poll).
    void Start();
    // Ends at once, the link closed; a write under way says how far it got.
    void Abort();
    // params set, parked: reads the block again and writes `block` only when the module still
    // holds the block the plan was made on.
    void Write(const DeviceParams& block);
    const JobResult& Result() const { return m_result; }

  private:
    using ReplyHandler = std::function<void(const std::vector<Byte>&)>;

    void OnOpened(bool ok, const std::string& failure);
    void OnFrame(const std::vector<Byte>& frame);
    void OnDeadline(const std::vector<std::string>& lines);
    void Ask(const std::vector<Byte>& frame, ReplyWatch::Request request, ReplyHandler then);
    void Watch(ReplyWatch::Request request);

    void ReadBlock(std::optional<Byte> unit, std::function<void()> then);
    void TakeBlockReply(const std::vector<Byte>& frame, const std::function<void()>& then);
    std::string NoReplyHint() const;
    void RunCommand();
    bool RefuseBroadcastAddress();
    void Park();
    void WriteIfUnchanged();
    void SendCommandFrame(int k, std::string name, ReplyHandler then);
    void SwitchRelay();
    void QueryDi();
    void QueryAi();
    void WriteBlock();
    void CompareReadBack();
    void ReportEvent(const std::vector<Byte>& frame);

    void Tell(const JobEvent& event) const;
    void StopTimers();
    void Succeed(std::string text, std::string json);
    void Fail(int status, const std::string& error);
    void End();
    void CloseLink();

    cli::Options m_options;
    bool m_serial;
    cli::Command m_command;
    std::unique_ptr<ModuleLink> m_link;
    bool m_linkOpen = false;
    std::optional<DeviceParams> m_blockToWrite;
    DeviceParams m_planBlock;  // the block the plan was made on
    bool m_writing = false;    // from Write until the read back
    std::size_t m_writesSent = 0;
    Byte m_blockUnit = kParamBroadcastUnit;  // the unit the block read goes to
    Handlers m_handlers;
    ReplyDeadline m_deadline;
    ParamRead m_read;
    ParamWrite m_write;
    ReplyHandler m_then;
    bool m_readingBlock = false;
    bool m_watching = false;
    bool m_ended = false;
    Byte m_address = 0;
    DeviceParams m_block;
    JobResult m_result;
};

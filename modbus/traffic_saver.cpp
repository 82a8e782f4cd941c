#include "traffic_saver.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

std::string SystemError() {
    return std::strerror(errno);
}

}  // namespace

TrafficSaver::TrafficSaver(Job job) : m_job(std::move(job)) {
    m_thread = std::thread([this] { Run(); });
}

TrafficSaver::~TrafficSaver() {
    m_stop = true;
    m_thread.join();
}

std::string TrafficSaver::Error() const {
    const std::lock_guard lock(m_mutex);
    return m_error;
}

void TrafficSaver::Run() {
    std::string error = Write();
    {
        const std::lock_guard lock(m_mutex);
        m_error = std::move(error);
    }
    m_job.entries.clear();  // the lines go back to whoever still holds them
    m_done.store(true, std::memory_order_release);
}

std::string TrafficSaver::Write() {
    const std::string partial = m_job.path + ".part";
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(partial.c_str(), "w"));
    if (!file) {
        return SystemError();
    }
    const bool csv = m_job.format == TrafficFormat::Csv;
    std::string line;
    if (csv) {
        line = std::string(kTrafficCsvHeader) + '\n';
    } else if (m_job.forgotten > 0) {
        line = "(" + std::to_string(m_job.forgotten) + " earlier lines are no longer kept)\n";
    }
    bool ok = std::fputs(line.c_str(), file.get()) >= 0;
    for (const TrafficEntryPtr& entry : m_job.entries) {
        if (!ok || m_stop.load(std::memory_order_relaxed)) {
            break;
        }
        line = csv ? TrafficCsvLine(*entry, m_job.time, m_job.openedAt)
                   : TrafficLineText(*entry, m_job.time, m_job.openedAt);
        line += '\n';
        ok = std::fputs(line.c_str(), file.get()) >= 0;
        ++m_written;
    }
    std::string error = ok ? std::string() : SystemError();
    if (std::fclose(file.release()) != 0 && error.empty()) {
        error = SystemError();
    }
    if (error.empty() && m_stop.load()) {
        error = "stopped";
    }
    if (error.empty() && std::rename(partial.c_str(), m_job.path.c_str()) != 0) {
        error = SystemError();
    }
    if (!error.empty()) {
        std::remove(partial.c_str());
    }
    return error;
}

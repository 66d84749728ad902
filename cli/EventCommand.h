// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// The user's command run for each event of a watch: the event as JSON on its standard input,
// one at a time, without a shell, stopped past a time limit. Its failures are told, never fatal.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace talvik::cli {

// Splits `text` into words as a shell would without expanding anything: blanks separate words,
// '...' keeps everything literally, "..." keeps all but \" and \\, a backslash outside quotes
// keeps the next character. False with `error` set for an open quote or no word at all.
bool SplitWords(std::string_view text, std::vector<std::string>& words, std::string& error);

class EventCommand final {
public:
    static constexpr std::chrono::seconds kLimit{10};
    // Events waiting while one runs; past this they are dropped and counted.
    static constexpr std::size_t kQueued = 1000;

    // `report` gets each failure as one line, from the command's own thread.
    EventCommand(std::vector<std::string> words, std::function<void(const std::string&)> report,
                 std::chrono::milliseconds limit = kLimit);
    ~EventCommand();
    EventCommand(const EventCommand&) = delete;
    EventCommand& operator=(const EventCommand&) = delete;

    void Push(std::string json);
    // Takes no more: those waiting still run within `grace`, then the one running is stopped
    // and the rest are counted in one line.
    void Finish(std::chrono::milliseconds grace);

private:
    void Loop();
    void RunOne(const std::string& json);

    std::vector<std::string> words_;
    std::function<void(const std::string&)> report_;
    std::chrono::milliseconds limit_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::string> queue_;
    std::size_t dropped_ = 0;
    bool finishing_ = false;
    std::chrono::steady_clock::time_point deadline_ = std::chrono::steady_clock::time_point::max();
    std::thread thread_;
};

}  // namespace talvik::cli

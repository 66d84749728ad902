#pragma once
// Answers the window's message boxes from a script and records what was asked.

#include <deque>
#include <string>
#include <vector>

#include "scan/Ports.h"

namespace talvik::test {

struct ShownMessage {
    std::string text;
    std::string caption;
    unsigned type = 0;
};

class ScriptedMessageBox final : public IMessageBox {
public:
    // Answers for the yes/no questions, in order; once they run out every question gets No.
    void Answer(int button) { answers_.push_back(button); }

    int MessageBox(const std::string& text, const std::string& caption, unsigned type) override {
        shown.push_back({text, caption, type});
        if ((type & 0x0Fu) != kMbYesNo) {
            return kIdOk;
        }
        if (answers_.empty()) {
            return kIdNo;
        }
        const int answer = answers_.front();
        answers_.pop_front();
        return answer;
    }

    std::vector<ShownMessage> shown;

private:
    std::deque<int> answers_;
};

}  // namespace talvik::test

#pragma once
// A message box for tests: remembers every box and answers from a script.
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "ui/MsgBox.h"

class CRecordingMessageBox : public IMessageBox {
public:
    struct Shown {
        std::string text;
        std::string caption;
        DWORD dwStyle;
    };

    // Answers given in order; when they run out, nDefaultAnswer.
    void QueueAnswer(int nAnswer) {
        std::lock_guard lock(m_mutex);
        m_answers.push_back(nAnswer);
    }
    void SetDefaultAnswer(int nAnswer) {
        std::lock_guard lock(m_mutex);
        m_nDefaultAnswer = nAnswer;
    }
    std::vector<Shown> Boxes() const {
        std::lock_guard lock(m_mutex);
        return m_shown;
    }
    void Clear() {
        std::lock_guard lock(m_mutex);
        m_shown.clear();
        m_answers.clear();
    }

    // Records the box and returns the next scripted answer. Never blocks for long.
    int MessageBox(const std::string& text, const std::string& caption, DWORD dwStyle) override {
        std::lock_guard lock(m_mutex);
        m_shown.push_back({text, caption, dwStyle});
        if (m_answers.empty()) return m_nDefaultAnswer;
        int nAnswer = m_answers.front();
        m_answers.pop_front();
        return nAnswer;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<Shown> m_shown;
    std::deque<int> m_answers;
    int m_nDefaultAnswer = IDOK;
};

// A presenter for tests: replays a script of operator actions against the dialog model and
// records every message box. When the script runs out while a dialog is open it presses the
// close box, so no test can hang waiting for an operator.
#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ui/presenter.h"

namespace countryset {

class ScriptedPresenter : public Presenter {
public:
    struct ShownMessage {
        std::string caption;
        std::string text;
        unsigned style = 0;
        std::thread::id thread;
    };

    // Script building; each returns *this so steps chain.
    ScriptedPresenter& Select(int listId, int pos);
    ScriptedPresenter& DropDown(int listId, bool open = true);
    ScriptedPresenter& Type(int controlId, std::string text);
    ScriptedPresenter& Enter();
    ScriptedPresenter& Escape();
    ScriptedPresenter& Tab(bool backwards = false);
    ScriptedPresenter& Click(int controlId);
    ScriptedPresenter& Focus(int controlId);
    ScriptedPresenter& Close();
    // Runs check against the open dialog at this point of the script.
    ScriptedPresenter& Check(std::function<void(CDialog&)> check);

    void RunModal(CDialog& dlg) override;
    void ShowMessage(const std::string& caption, const std::string& text, unsigned style) override;
    void ShowProgress(const std::string& text) override;

    // Called for every message box as it is shown (after it is recorded).
    void OnMessage(std::function<void(const ShownMessage&)> hook);

    // Called for every progress line as it is shown (after it is recorded).
    void OnProgress(std::function<void(const std::string&)> hook);

    std::vector<ShownMessage> Messages() const;
    std::vector<std::string> Progress() const;
    int DialogsRun() const;
    std::size_t StepsLeft() const;

private:
    using Step = std::function<void(CDialog&)>;
    ScriptedPresenter& Add(Step step);

    mutable std::mutex m_mutex;
    std::deque<Step> m_steps;
    std::vector<ShownMessage> m_messages;
    std::function<void(const ShownMessage&)> m_hook;
    std::vector<std::string> m_progress;
    std::function<void(const std::string&)> m_progressHook;
    int m_dialogsRun = 0;
};

}  // namespace countryset

#include "fakes/scripted_presenter.h"

#include <utility>

#include "ui/dialog.h"

namespace countryset {

ScriptedPresenter& ScriptedPresenter::Add(Step step) {
    std::lock_guard lock(m_mutex);
    m_steps.push_back(std::move(step));
    return *this;
}

ScriptedPresenter& ScriptedPresenter::Select(int listId, int pos) {
    return Add([=](CDialog& d) { d.SelectItem(listId, pos); });
}

ScriptedPresenter& ScriptedPresenter::DropDown(int listId, bool open) {
    return Add([=](CDialog& d) { d.ShowDropDown(listId, open); });
}

ScriptedPresenter& ScriptedPresenter::Type(int controlId, std::string text) {
    return Add([=, t = std::move(text)](CDialog& d) { d.TypeText(controlId, t); });
}

ScriptedPresenter& ScriptedPresenter::Enter() {
    return Add([](CDialog& d) { d.PressEnter(); });
}

ScriptedPresenter& ScriptedPresenter::Escape() {
    return Add([](CDialog& d) { d.PressEscape(); });
}

ScriptedPresenter& ScriptedPresenter::Tab(bool backwards) {
    return Add([=](CDialog& d) { d.PressTab(backwards); });
}

ScriptedPresenter& ScriptedPresenter::Click(int controlId) {
    return Add([=](CDialog& d) { d.Click(controlId); });
}

ScriptedPresenter& ScriptedPresenter::Focus(int controlId) {
    return Add([=](CDialog& d) { d.SetFocus(controlId); });
}

ScriptedPresenter& ScriptedPresenter::Close() {
    return Add([](CDialog& d) { d.CloseBox(); });
}

ScriptedPresenter& ScriptedPresenter::Check(std::function<void(CDialog&)> check) {
    return Add(std::move(check));
}

void ScriptedPresenter::OnMessage(std::function<void(const ShownMessage&)> hook) {
    std::lock_guard lock(m_mutex);
    m_hook = std::move(hook);
}

void ScriptedPresenter::RunModal(CDialog& dlg) {
    {
        std::lock_guard lock(m_mutex);
        ++m_dialogsRun;
    }
    while (!dlg.IsEnded()) {
        Step step;
        {
            std::lock_guard lock(m_mutex);
            if (!m_steps.empty()) {
                step = std::move(m_steps.front());
                m_steps.pop_front();
            }
        }
        if (!step) {
            dlg.CloseBox();
            return;  // a dialog that ignores its close box is ended by DoModal
        }
        step(dlg);
    }
}

void ScriptedPresenter::ShowMessage(const std::string& caption, const std::string& text,
                                    unsigned style) {
    ShownMessage shown{caption, text, style, std::this_thread::get_id()};
    std::function<void(const ShownMessage&)> hook;
    {
        std::lock_guard lock(m_mutex);
        m_messages.push_back(shown);
        hook = m_hook;
    }
    if (hook) {
        hook(shown);
    }
}

void ScriptedPresenter::ShowProgress(const std::string& text) {
    std::function<void(const std::string&)> hook;
    {
        std::lock_guard lock(m_mutex);
        m_progress.push_back(text);
        hook = m_progressHook;
    }
    if (hook) {
        hook(text);
    }
}

void ScriptedPresenter::OnProgress(std::function<void(const std::string&)> hook) {
    std::lock_guard lock(m_mutex);
    m_progressHook = std::move(hook);
}

std::vector<std::string> ScriptedPresenter::Progress() const {
    std::lock_guard lock(m_mutex);
    return m_progress;
}

std::vector<ScriptedPresenter::ShownMessage> ScriptedPresenter::Messages() const {
    std::lock_guard lock(m_mutex);
    return m_messages;
}

int ScriptedPresenter::DialogsRun() const {
    std::lock_guard lock(m_mutex);
    return m_dialogsRun;
}

std::size_t ScriptedPresenter::StepsLeft() const {
    std::lock_guard lock(m_mutex);
    return m_steps.size();
}

}  // namespace countryset

// Answers the window's dialogs in place of the user and records what the window showed.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "app/window/Dialogs.h"

struct FakeDialogs : tintabrel::TDialogs {
    struct Message {
        std::string Text;
        std::string Caption;
        tintabrel::TMsgIcon Icon;
    };

    std::deque<std::optional<std::string>> OpenAnswers; // nullopt: cancelled
    std::deque<std::optional<std::string>> SaveAnswers;
    std::vector<std::string> SaveSuggestions; // the name each save dialog opened with
    std::vector<int> SaveFiltersOffered;      // and the filter it opened with
    std::deque<int> SaveFilters; // the filter (1-based) chosen with the next save answers; none: as it was
    std::vector<Message> Messages;
    std::deque<bool> ConfirmAnswers; // none left: yes
    std::vector<std::string> Questions;
    std::vector<std::string> Started;
    std::deque<tintabrel::TSaveAnswer> SaveChangesAnswers; // none left: cancel
    std::vector<std::string> SaveChangesQuestions;

    bool ExecuteOpen(QWidget*, tintabrel::TFileDialog& dialog) override { return Answer(OpenAnswers, dialog); }
    bool ExecuteSave(QWidget*, tintabrel::TFileDialog& dialog) override
    {
        SaveSuggestions.push_back(dialog.FileName);
        SaveFiltersOffered.push_back(dialog.FilterIndex);
        if (!SaveFilters.empty() && !SaveAnswers.empty()) {
            dialog.FilterIndex = SaveFilters.front();
            SaveFilters.pop_front();
        }
        return Answer(SaveAnswers, dialog);
    }
    void MessageBox(QWidget*, const std::string& text, const std::string& caption, tintabrel::TMsgIcon icon) override
    {
        Messages.push_back({text, caption, icon});
    }
    bool Confirm(QWidget*, const std::string& text, const std::string&) override
    {
        Questions.push_back(text);
        if (ConfirmAnswers.empty()) return true;
        const bool answer = ConfirmAnswers.front();
        ConfirmAnswers.pop_front();
        return answer;
    }
    tintabrel::TSaveAnswer AskSaveChanges(QWidget*, const std::string& text, const std::string&) override
    {
        SaveChangesQuestions.push_back(text);
        if (SaveChangesAnswers.empty()) return tintabrel::TSaveAnswer::Cancel;
        const tintabrel::TSaveAnswer answer = SaveChangesAnswers.front();
        SaveChangesAnswers.pop_front();
        return answer;
    }
    bool StartProgram(const std::string& path) override
    {
        Started.push_back(path);
        return true;
    }

private:
    static bool Answer(std::deque<std::optional<std::string>>& answers, tintabrel::TFileDialog& dialog)
    {
        if (answers.empty()) return false;
        const std::optional<std::string> answer = answers.front();
        answers.pop_front();
        if (!answer) return false;
        dialog.FileName = *answer;
        return true;
    }
};

// Answers the windows' modal interactions in tests: records message boxes and
// opened addresses, answers file dialogs from a queue, and runs a handler in
// place of a dialog's modal loop.
#pragma once

#include <QDialog>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "qt/widgets/VFormUnit.h"

struct TFakeDialogs : zarvo::qt::IDialogs {
    struct TBox {
        QMessageBox::Icon Icon;
        QString Title, Text;
    };
    std::vector<TBox> Boxes;
    std::vector<zarvo::qt::TFileDialogRequest> FileRequests;
    std::deque<std::optional<QStringList>> FileAnswers; // nullopt: the user cancels
    std::function<int(QDialog&)> OnExec;
    std::vector<QUrl> Opened;

    TFakeDialogs() { FPrevious = zarvo::qt::SetDialogs(this); }
    ~TFakeDialogs() override { zarvo::qt::SetDialogs(FPrevious); }

    void MessageBox(QWidget*, QMessageBox::Icon icon, const QString& title, const QString& text) override {
        Boxes.push_back({icon, title, text});
    }
    bool FileDialog(QWidget*, zarvo::qt::TFileDialogRequest& r) override {
        FileRequests.push_back(r);
        if (FileAnswers.empty()) return false;
        // Taken in place: a copy of the optional trips GCC's maybe-uninitialized check.
        const bool confirmed = FileAnswers.front().has_value();
        if (confirmed) r.Files = *FileAnswers.front();
        FileAnswers.pop_front();
        return confirmed;
    }
    int ExecDialog(QDialog& d) override { return OnExec ? OnExec(d) : int(QDialog::Rejected); }
    void OpenUrl(const QUrl& url) override { Opened.push_back(url); }

private:
    zarvo::qt::IDialogs* FPrevious;
};

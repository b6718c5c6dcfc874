// The application around the main window: its names, where the toolkit keeps its
// settings, and the file viewer on its own ("zarvo --view FILE").
#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>
#include <memory>

#include "readers/uLineReaderWriter.h"

inline constexpr char kApplicationTitle[] = "Zarvo";

// The application's names and version, before any window: its display name is the
// main window's caption, so that the window system shows that caption as it is and
// appends it to the titles of the other windows.
void InitApplication();
// Qt keeps the file dialogs' history in a settings file of its own, QtProject.conf,
// in the user's configuration folder: it goes into the folder of the settings file
// instead, so that everything the program keeps lies where the switches put it. A
// first run in the per-user folder makes and seeds that folder, as the window would.
void KeepToolkitSettingsInSettingsFolder();

// How the viewer opens a file of its own ("zarvo --view FILE"): a database by its
// extension or its metadata marker, a ".txt" file as text, anything else as CSV.
struct TStandaloneView {
    QString Title;
    bool NoHeader = false;
    bool Database = false;
    QString Filter;
};
TStandaloneView StandaloneViewOf(const QString& fileName);
// The file after "--view" (or in "--view=FILE"); empty when the switch is absent.
QString ViewArgument(const QStringList& args);
// The database as the viewer's line source, its dates in the locale's short form
// (the locale's format, month and day names and digits).
zarvo::TLineReaderClass DatabaseReaderClass();
// The viewer alone, with counting and the row-limit link on, set up but not shown:
// a top-level window of its own, which owns the dialogs it opens.
std::unique_ptr<QDialog> CreateStandaloneViewer(const QString& fileName);
// Shows that window and runs the event loop until it is closed; returns the exit code.
int ViewFileAlone(const QString& fileName);

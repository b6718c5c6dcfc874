// The main window's settings: the controls as options, the settings file and the named sets.
#include "app/Unit1.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QSpinBox>
#include <algorithm>

#include "app/Form1Shared.h"

#include "options/ZarvoSettings.h"

using namespace zarvo;
using namespace zarvo::qt;
using namespace form1;

namespace {

std::vector<std::string> MemoLines(const QPlainTextEdit* memo) {
    const QByteArray text = memo->toPlainText().toUtf8();
    const TStringList lines = TStringList::FromText(std::string_view(text.constData(), size_t(text.size())));
    std::vector<std::string> out;
    out.reserve(lines.Count());
    for (size_t i = 0; i < lines.Count(); ++i) out.emplace_back(lines[i]);
    return out;
}

void SetMemoLines(QPlainTextEdit* memo, const std::vector<std::string>& lines) {
    QStringList list;
    for (const std::string& l : lines) list << QString::fromStdString(l);
    memo->setPlainText(list.join(QLatin1Char('\n')));
}

} // namespace

void TForm1::LoadSettings() {
    try {
        TZarvoOptions o = ReadOptions();
        if (LoadSettingsFile(SettingsFilePath(true), o, *FStoredList)) WriteOptions(o);
    } catch (const std::exception& e) {
        // Unreadable: the controls keep what they had and the window goes on. The file
        // may still hold the user's ranges and stored sets, which a save of these
        // controls would replace: it is left as it is.
        FSettingsFileUnread = true;
        ErrorMessage(QString::fromUtf8(e.what()) +
                     QStringLiteral("\n\nThe settings file is left as it is: settings changed in this "
                                    "window are not saved."));
    }
    UpdateSettingsListBox();
}

void TForm1::SaveSettings() {
    // Said at start and again on close (SaveSettingsOnClose).
    if (FSettingsFileUnread) return;
    try {
        SaveSettingsFile(SettingsFilePath(false), ReadOptions(), *FStoredList);
    } catch (const std::exception& e) {
        // The old file is left whole; nothing is retried.
        ErrorMessage(QString::fromUtf8(e.what()));
    }
}

void TForm1::SaveSettingsOnClose() {
    if (!FSettingsFileUnread) {
        SaveSettings();
        return;
    }
    Warning(QStringLiteral("The settings were not saved: the settings file \"%1\" could not be read when "
                           "the window opened, and is left as it is.")
                .arg(Q(SettingsFilePath(false))));
}

void TForm1::SettingsToList(TVHashedStringList& List) const {
    zarvo::SettingsToList(ReadOptions(), List);
}

void TForm1::SettingsFromList(const TVHashedStringList& List) {
    // Keys that are absent keep the controls' values, so start from them.
    TZarvoOptions o = ReadOptions();
    zarvo::SettingsFromList(List, o);
    WriteOptions(o);
}

// ---------------------------------------------------------------- named settings

void TForm1::UpdateSettingsListBox() {
    SettingsListBox->SetCount(static_cast<int>(FStoredList->Count()));
}

void TForm1::SettingsNameEditChange() {
    const bool any = !SettingsNameEdit->text().isEmpty();
    for (auto* b : {SettingsSaveButton, SettingsLoadButton, SettingsDeleteButton}) b->setEnabled(any);
}

QString TForm1::SettingsListBoxData(int index) const {
    if (!FStoredList || index < 0 || static_cast<size_t>(index) >= FStoredList->Count()) return {};
    return Q(FStoredList->GetSettings(static_cast<size_t>(index)).Name());
}

void TForm1::SettingsListBoxClick() {
    const QModelIndexList selected = SettingsListBox->selectionModel()->selectedIndexes();
    if (selected.isEmpty()) return;
    const int i = selected.first().row();
    if (i < 0 || static_cast<size_t>(i) >= FStoredList->Count()) return;
    SettingsNameEdit->setText(SettingsListBoxData(i));
}

std::string TForm1::SettingsName() const {
    // A pasted line break would split the name's line in the file and turn the rest
    // of the name into a key of its own; it becomes a blank, as in option values.
    std::string name = Std(SettingsNameEdit->text());
    std::replace_if(
        name.begin(), name.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    return name;
}

void TForm1::SettingsSaveButtonClick() {
    const std::string name = SettingsName();
    if (name.empty()) return;
    if (SaveNamedSettings(*FStoredList, name, ReadOptions())) UpdateSettingsListBox();
}

void TForm1::SettingsLoadButtonClick() {
    const std::string name = SettingsName();
    TZarvoOptions o = ReadOptions();
    if (!LoadNamedSettings(*FStoredList, name, o)) {
        Warning(QStringLiteral("Load Settings"), Q(SettingsNotFoundMessage(name)));
        return;
    }
    WriteOptions(o);
}

void TForm1::SettingsDeleteButtonClick() {
    const std::string name = SettingsName();
    if (!DeleteNamedSettings(*FStoredList, name)) {
        Warning(QStringLiteral("Delete Settings"), Q(SettingsNotFoundMessage(name)));
        return;
    }
    UpdateSettingsListBox();
}

// ---------------------------------------------------------------- options

TZarvoOptions TForm1::ReadOptions() const {
    TZarvoOptions o;
    o.IPRanges = MemoLines(Memo1);
    o.UsableHosts = CheckBox8->isChecked();
    o.Unique = UniqueCheckBox->isChecked();
    o.Exclude = CheckBox4->isChecked();
    o.ExcludeMasks = MemoLines(Memo6);
    o.EscapeIPv6 = CheckBox6->isChecked();
    o.LowerIPv6 = LowerIPv6CheckBox->isChecked();
    o.AddPort = CheckBox2->isChecked();
    o.Ports = Std(Edit3->text());
    o.GenerateNames = CheckBox3->isChecked();
    o.NameTemplate = Std(Edit4->text());
    o.CounterSymbol = Std(ComboBox1->currentText());
    o.FirstCounter = Std(Edit5->text());
    o.CounterStep = Std(Edit6->text());
    o.CounterDigits = Std(Edit7->text());
    o.NameDelimiter = static_cast<TNameDelimiter>(ComboBox5->currentIndex());
    o.NameCustomDelimiter = Std(Edit8->text());
    o.Mode = RadioButton2->isChecked() ? gcTotalCount : RadioButton3->isChecked() ? gcForEach : gcAllCount;
    o.TotalCount = Std(Edit1->text());
    o.EachCount = Std(Edit2->text());
    o.Random = CheckBox1->isChecked();
    o.Append = CheckBox5->isChecked();
    o.ResolveCountry = CheckBox7->isChecked();
    o.MMDBFilePath = Std(Edit9->text());
    o.CountryField = Std(ComboBox6->currentText());
    o.OnlyCountries = Std(Edit10->text());
    o.IPDelimiter = static_cast<TListDelimiter>(ComboBox2->currentIndex());
    o.ResolvedDelimiter = static_cast<TListDelimiter>(ComboBox3->currentIndex());
    o.UnresolvedDelimiter = static_cast<TListDelimiter>(ComboBox4->currentIndex());
    o.DNSServers = MemoLines(Memo5);
    o.DNSTimeoutMs = static_cast<unsigned>(DNSTimeoutSpin->value());
    o.DNSInFlight = static_cast<unsigned>(DNSInFlightSpin->value());
    o.DNSRetries = static_cast<unsigned>(DNSRetriesSpin->value());
    return o;
}

void TForm1::WriteOptions(const TZarvoOptions& o) {
    auto setIndex = [](QComboBox* c, int i) {
        if (i >= 0 && i < c->count()) c->setCurrentIndex(i);
    };
    SetMemoLines(Memo1, o.IPRanges);
    CheckBox8->setChecked(o.UsableHosts);
    UniqueCheckBox->setChecked(o.Unique);
    CheckBox4->setChecked(o.Exclude);
    SetMemoLines(Memo6, o.ExcludeMasks);
    CheckBox6->setChecked(o.EscapeIPv6);
    LowerIPv6CheckBox->setChecked(o.LowerIPv6);
    CheckBox2->setChecked(o.AddPort);
    Edit3->setText(Q(o.Ports));
    CheckBox3->setChecked(o.GenerateNames);
    Edit4->setText(Q(o.NameTemplate));
    ComboBox1->setCurrentText(Q(o.CounterSymbol));
    Edit5->setText(Q(o.FirstCounter));
    Edit6->setText(Q(o.CounterStep));
    Edit7->setText(Q(o.CounterDigits));
    setIndex(ComboBox5, o.NameDelimiter);
    Edit8->setVisible(ComboBox5->currentIndex() == ndCustom);
    Edit8->setText(Q(o.NameCustomDelimiter));
    (o.Mode == gcTotalCount ? RadioButton2
     : o.Mode == gcForEach  ? RadioButton3
                            : RadioButton1)
        ->setChecked(true);
    Edit1->setText(Q(o.TotalCount));
    Edit2->setText(Q(o.EachCount));
    CheckBox1->setChecked(o.Random);
    CheckBox5->setChecked(o.Append);
    CheckBox7->setChecked(o.ResolveCountry);
    Edit9->setText(Q(o.MMDBFilePath));
    ComboBox6->setCurrentText(Q(o.CountryField));
    Edit10->setText(Q(o.OnlyCountries));
    setIndex(ComboBox2, o.IPDelimiter);
    setIndex(ComboBox3, o.ResolvedDelimiter);
    setIndex(ComboBox4, o.UnresolvedDelimiter);
    SetMemoLines(Memo5, o.DNSServers);
    // Values out of range, which no settings file gives, leave the boxes as they are.
    if (o.DNSTimeoutMs >= 1 && o.DNSTimeoutMs <= dns::kMaxTimeoutMs)
        DNSTimeoutSpin->setValue(static_cast<int>(o.DNSTimeoutMs));
    if (o.DNSInFlight >= 1 && o.DNSInFlight <= dns::kMaxInFlight)
        DNSInFlightSpin->setValue(static_cast<int>(o.DNSInFlight));
    if (o.DNSRetries <= dns::kMaxRetries) DNSRetriesSpin->setValue(static_cast<int>(o.DNSRetries));
    UpdateIPCountLabel();
}

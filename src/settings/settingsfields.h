#pragma once
// The program's live settings: the fields of the settings window, and the sequences that load
// them from the store and save them back.
//
// The fields are real controls, created here with their names and parented to the window that
// owns them (the settings window places them). What a field holds is in force at once for every
// reader; the store changes only when save() runs.

#include <QLineEdit>
#include <QList>
#include <QListWidget>
#include <QRadioButton>
#include <QSet>
#include <QString>
#include <QStringList>

#include <optional>

namespace store {
class Transaction;
}

// One hidden instrument parameter: its field, where it is stored and the label kept beside it.
struct InstrumentField {
    QString name;        // field name, e.g. "MaxSteps"
    QString section;     // "ValvePositions", "Volumes" or "FlowRates"
    QString key;         // store key, e.g. "MaximumSteps"
    std::optional<int> defaultValue; // nullopt: an absent key leaves the field empty
    QString caption;     // label text; empty for fields captioned by their row and column
};

class SettingsFields {
public:
    // Creates every field as a child of `owner`.
    explicit SettingsFields(QWidget *owner);

    // Visible communication settings.
    QLineEdit *CommPortSetting;
    QListWidget *lstBaudRate;
    QLineEdit *RCVTimeout;
    QLineEdit *MaxStrings;
    QRadioButton *DTProtocol;
    QRadioButton *OEMProtocol;
    // Hidden field that nothing reads, writes or stores.
    QLineEdit *FlowControl;

    // A hidden instrument field by its name (nullptr for an unknown name).
    QLineEdit *field(const QString &name) const;
    // Every hidden instrument field, in the order of instrumentFields().
    const QList<QLineEdit *> &instrument() const { return m_instrument; }
    static const QList<InstrumentField> &instrumentFields();

    // Text of the selected baud entry, empty with no selection.
    QString baudRateText() const;
    static const QStringList &baudRates();

    // Load sequence: fills the fields from the store (read once) in their fixed order and stops
    // at the first step that fails (a stored "BaudRate" that is not a number or names no entry).
    // Returns true when all five steps ran.
    bool load();
    // Save sequence ("OK"): turns an empty MaxStrings into "10", then writes every field's text
    // unchanged, in one write of the store. A field that the load never reached (it stopped
    // early) and that has not been changed since is not written, so the stored value survives.
    // Returns why the store could not be written (naming the file), or an empty text.
    QString save();

    // Number of load steps that completed (0 to 5).
    int loadedSteps() const { return m_loadedSteps; }

private:
    void watch(QLineEdit *edit);
    void put(const store::Transaction &from, QLineEdit *edit, const QString &section, const QString &key,
             std::optional<int> def);
    void write(store::Transaction &to, QLineEdit *edit, const QString &section, const QString &key);

    QList<QLineEdit *> m_instrument;
    QSet<const QLineEdit *> m_held; // fields loaded from the store or changed since creation
    int m_loadedSteps = 0;
};

#include "settings/settingsfields.h"

#include "app/numbers.h"
#include "app/settingsstore.h"
#include "link/baudrates.h"

namespace {

const QString kValve = QStringLiteral("ValvePositions");
const QString kSettings = QStringLiteral("Settings");
const QString kVolumes = QStringLiteral("Volumes");
const QString kFlow = QStringLiteral("FlowRates");

QLineEdit *makeEdit(QWidget *owner, const QString &name, const QString &text = QString())
{
    auto *e = new QLineEdit(text, owner);
    e->setObjectName(name);
    e->setAccessibleName(name);
    return e;
}

// Load order of the "Volumes" fields (the save order differs).
const QStringList kVolumesLoadOrder = {
    "MaximumAuxiliaryVolume", "MinimumAuxiliaryVolume", "MaximumWashVolume", "MinimumWashVolume",
    "MaximumSampleVolume", "MinimumSampleVolume", "MaximumMastermixVolume", "MinimumMastermixVolume",
    "MaximumWasteVolume", "MinimumWasteVolume", "MaximumSyringeVolume", "MinimumSyringeVolume",
    "MinimumAspirateVolume", "MaximumAspirateVolume", "MinimumDispenseVolume", "MaximumDispenseVolume"};

// Save order of the "Volumes" fields. The dispense-volume keys follow the aspirate ones, so
// every field the load fills is also stored.
const QStringList kVolumesSaveOrder = {
    "MaximumSyringeVolume", "MinimumSyringeVolume", "MaximumAuxiliaryVolume", "MinimumAuxiliaryVolume",
    "MaximumSampleVolume", "MinimumSampleVolume", "MaximumWashVolume", "MinimumWashVolume",
    "MaximumMastermixVolume", "MinimumMastermixVolume", "MaximumWasteVolume", "MinimumWasteVolume",
    "MinimumAspirateVolume", "MaximumAspirateVolume", "MinimumDispenseVolume", "MaximumDispenseVolume"};

} // namespace

const QStringList &SettingsFields::baudRates()
{
    return baudrates::list();
}

const QList<InstrumentField> &SettingsFields::instrumentFields()
{
    // In the load order of their sections ("Volumes" is loaded in its own order, see above).
    static const QList<InstrumentField> fields = {
        {"ValveSpeed", kValve, "ValveSpeed", 2000, "Valve Speed"},
        {"ValveOverShoot", kValve, "ValveOverShoot", 1000, "Valve Overshoot"},
        {"MasterMixWithFilter", kValve, "MasterMixWithFilter", 10286, "Master Mix With Filter"},
        {"MasterMixWithOutFilter", kValve, "MasterMixWithOutFilter", 34286, "Master Mix Without Filter"},
        {"SampleWithFilter", kValve, "SampleWithFilter", 30857, "Sample With Filter"},
        {"SampleWithOutFilter", kValve, "SampleWithOutFilter", 6857, "Sample Without Filter"},
        {"WashWithFilter", kValve, "WashWithFilter", 37714, "Wash With Filter"},
        {"WashWithOutFilter", kValve, "WashWithOutFilter", 13714, "Wash Without Filter"},
        {"WasteWithFilter", kValve, "WasteWithFilter", 17143, "Waste With Filter"},
        {"WasteWithOutFilter", kValve, "WasteWithOutFilter", 41143, "Waste Without Filter"},
        {"MaxSteps", kValve, "MaximumSteps", 24000, "Micro Steps per stroke"},
        {"MaxVolume", kValve, "MaximumVolume", 1050, "Micro Liters per stroke"},
        {"MaxPresureChange", kValve, "MaxPresureChange", 100, "Max Pressure"},

        {"MinimumSyringeVolume", kVolumes, "MinimumSyringeVolume", 1100, "Syringe Volume"},
        {"MaximumSyringeVolume", kVolumes, "MaximumSyringeVolume", 11000, ""},
        {"MinimumAuxiliaryVolume", kVolumes, "MinimumAuxiliaryVolume", 120, "Auxiliary Volume"},
        {"MaximumAuxiliaryVolume", kVolumes, "MaximumAuxiliaryVolume", std::nullopt, ""},
        {"MinimumSampleVolume", kVolumes, "MinimumSampleVolume", 600, "Sample Volume"},
        {"MaximumSampleVolume", kVolumes, "MaximumSampleVolume", 6000, ""},
        {"MinimumWashVolume", kVolumes, "MinimumWashVolume", 750, "Wash Volume"},
        {"MaximumWashVolume", kVolumes, "MaximumWashVolume", 7500, ""},
        {"MinimumMastermixVolume", kVolumes, "MinimumMastermixVolume", 25, "Mastermix Volume"},
        {"MaximumMastermixVolume", kVolumes, "MaximumMastermixVolume", 250, ""},
        {"MinimumWasteVolume", kVolumes, "MinimumWasteVolume", 1100, "Waste Volume"},
        {"MaximumWasteVolume", kVolumes, "MaximumWasteVolume", 11000, ""},
        {"MinimumAspirateVolume", kVolumes, "MinimumAspirateVolume", 10, "Aspirate Volume"},
        {"MaximumAspirateVolume", kVolumes, "MaximumAspirateVolume", 600, ""},
        {"MinimumDispenseVolume", kVolumes, "MinimumDispenseVolume", 10, "Dispense Volume"},
        {"MaximumDispenseVolume", kVolumes, "MaximumDispenseVolume", 600, ""},

        {"MinimumAspirateFlowRate", kFlow, "MinimumAspirateFlowRate", 10, "Aspirate flow rate"},
        {"MaximumAspirateFlowRate", kFlow, "MaximumAspirateFlowRate", 150, ""},
        {"MinimumDispenseFlowRate", kFlow, "MinimumDispenseFlowRate", 10, "Dispense flow rate"},
        {"MaximumDispenseFlowRate", kFlow, "MaximumDispenseFlowRate", 150, ""},
        {"MinimumLoopTimes", kFlow, "MinimumLoopTimes", 1, "Loop Times"},
        {"MaximumLoopTimes", kFlow, "MaximumLoopTimes", 50, ""},
        {"MinimumSonicationAmplitude", kFlow, "MinimumSonicationAmplitude", 10, "Sonication Amplitude"},
        {"MaximumSonicationAmplitude", kFlow, "MaximumSonicationAmplitude", 150, ""},
        {"MinimumSonicationTime", kFlow, "MinimumSonicationTime", 1, "Sonication  Time"},
        {"MaximumSonicationTime", kFlow, "MaximumSonicationTime", 150, ""},
        {"MinimumWaitTime", kFlow, "MinimumWaitTime", 1, "Wait Time"},
        {"MaximumWaitTime", kFlow, "MaximumWaitTime", 150, ""},
        {"MaxDACValue", kFlow, "MaxDACValue", 5851, "Max DAC Value"},
    };
    return fields;
}

SettingsFields::SettingsFields(QWidget *owner)
{
    CommPortSetting = makeEdit(owner, "CommPortSetting");
    CommPortSetting->setEnabled(false);
    lstBaudRate = new QListWidget(owner);
    lstBaudRate->setObjectName("lstBaudRate");
    lstBaudRate->setAccessibleName("Baud rate");
    lstBaudRate->setSelectionMode(QAbstractItemView::SingleSelection);
    lstBaudRate->addItems(baudRates());
    MaxStrings = makeEdit(owner, "MaxStrings");
    RCVTimeout = makeEdit(owner, "RCVTimeout", "3000");
    DTProtocol = new QRadioButton("DT Protocol", owner);
    DTProtocol->setObjectName("DTProtocol");
    DTProtocol->setChecked(true);
    OEMProtocol = new QRadioButton("OEM Protocol", owner);
    OEMProtocol->setObjectName("OEMProtocol");
    FlowControl = makeEdit(owner, "FlowControl");
    for (const InstrumentField &f : instrumentFields())
        m_instrument.append(makeEdit(owner, f.name));
    for (QLineEdit *e : {CommPortSetting, MaxStrings, RCVTimeout})
        watch(e);
    for (QLineEdit *e : std::as_const(m_instrument))
        watch(e);
}

void SettingsFields::watch(QLineEdit *edit)
{
    QObject::connect(edit, &QLineEdit::textChanged, edit, [this, edit] { m_held.insert(edit); });
}

QLineEdit *SettingsFields::field(const QString &name) const
{
    const auto &fields = instrumentFields();
    for (int i = 0; i < fields.size(); ++i)
        if (fields[i].name == name)
            return m_instrument[i];
    return nullptr;
}

QString SettingsFields::baudRateText() const
{
    const auto selected = lstBaudRate->selectedItems();
    return selected.isEmpty() ? QString() : selected.first()->text();
}

void SettingsFields::put(const store::Transaction &from, QLineEdit *edit, const QString &section,
                         const QString &key, std::optional<int> def)
{
    const QString text = def ? from.read(section, key, *def) : from.read(section, key, QString());
    edit->setText(text);
    m_held.insert(edit);
}

bool SettingsFields::load()
{
    m_loadedSteps = 0;
    const store::Transaction stored;
    const auto &fields = instrumentFields();

    // 1. "ValvePositions": the valve fields, then the row count and the port.
    for (int i = 0; i < fields.size(); ++i)
        if (fields[i].section == kValve)
            put(stored, m_instrument[i], kValve, fields[i].key, fields[i].defaultValue);
    put(stored, MaxStrings, kValve, "MaxStrings", 11);
    put(stored, CommPortSetting, kValve, "CommPortSetting", 1);
    m_loadedSteps = 1;

    // 2. The baud rate, stored as the index of its entry.
    const auto index = numbers::toInt16(stored.read(kSettings, "BaudRate", baudrates::kDefaultIndex));
    if (!index || *index < 0 || *index >= lstBaudRate->count())
        return false;
    lstBaudRate->setCurrentRow(*index);
    lstBaudRate->item(*index)->setSelected(true);
    m_loadedSteps = 2;

    // 3. The receive time-out.
    put(stored, RCVTimeout, kSettings, "RCVTimeout", 3000);
    m_loadedSteps = 3;

    // 4. "Volumes", in its load order.
    for (const QString &name : kVolumesLoadOrder) {
        const int i = int(std::find_if(fields.begin(), fields.end(),
                                       [&](const InstrumentField &f) { return f.name == name; })
                          - fields.begin());
        put(stored, m_instrument[i], kVolumes, fields[i].key, fields[i].defaultValue);
    }
    m_loadedSteps = 4;

    // 5. "FlowRates".
    for (int i = 0; i < fields.size(); ++i)
        if (fields[i].section == kFlow)
            put(stored, m_instrument[i], kFlow, fields[i].key, fields[i].defaultValue);
    m_loadedSteps = 5;
    return true;
}

void SettingsFields::write(store::Transaction &to, QLineEdit *edit, const QString &section, const QString &key)
{
    if (m_held.contains(edit))
        to.write(section, key, edit->text());
}

QString SettingsFields::save()
{
    if (MaxStrings->text().isEmpty())
        MaxStrings->setText("10");

    store::Transaction stored;
    const auto &fields = instrumentFields();
    for (int i = 0; i < fields.size(); ++i)
        if (fields[i].section == kValve)
            write(stored, m_instrument[i], kValve, fields[i].key);
    write(stored, MaxStrings, kValve, "MaxStrings");
    write(stored, CommPortSetting, kValve, "CommPortSetting");

    for (int i = 0; i < lstBaudRate->count(); ++i)
        if (lstBaudRate->item(i)->isSelected())
            stored.write(kSettings, "BaudRate", QString::number(i));

    write(stored, RCVTimeout, kSettings, "RCVTimeout");

    for (const QString &name : kVolumesSaveOrder)
        write(stored, field(name), kVolumes, name);

    for (int i = 0; i < fields.size(); ++i)
        if (fields[i].section == kFlow)
            write(stored, m_instrument[i], kFlow, fields[i].key);
    return stored.commit() ? QString() : stored.errorString();
}

#include "app/simulator_window.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QThread>
#include <QTimer>

#include "instrument/memory_map.h"
#include "instrument/sim/memory_image.h"

namespace tavex {

namespace {

// Without word from the panel, a reconnected meter comes back after this many steps of 100 ms:
// longer than the panel's one-second poll and idle step together.
constexpr int kReplugStepsAtMost = 30;

}  // namespace

SimulatorWindow::SimulatorWindow(std::shared_ptr<sim::SimBus> bus,
                                 std::shared_ptr<sim::SimMeter> meter, QWidget* parent)
    : QWidget(parent, Qt::Window), bus_(std::move(bus)), meter_(std::move(meter)) {
    setObjectName(QStringLiteral("Simulator"));
    setWindowTitle(QStringLiteral("Simulator"));
    // Closing the panel ends the demo even while this window is open.
    setAttribute(Qt::WA_QuitOnClose, false);
    auto* layout = new QFormLayout(this);

    plugged_ = new QCheckBox(QStringLiteral("Meter plugged in"), this);
    plugged_->setObjectName(QStringLiteral("Plugged"));
    plugged_->setChecked(bus_->IsPlugged(meter_.get()));
    connect(plugged_, &QCheckBox::toggled, this, [this](bool on) {
        // The user's own plug or unplug ends a reconnection under way.
        reconnecting_ = false;
        replug_->stop();
        SetPlugged(on);
    });
    layout->addRow(plugged_);

    held_ = new QCheckBox(QStringLiteral("Held by another program"), this);
    held_->setObjectName(QStringLiteral("Held"));
    connect(held_, &QCheckBox::toggled, this, [this](bool on) { SetHeld(on); });
    layout->addRow(held_);

    language_ = new QComboBox(this);
    language_->setObjectName(QStringLiteral("Language"));
    language_->addItems({QStringLiteral("Russian"), QStringLiteral("English")});
    language_->setCurrentIndex(meter_->Byte(memory::kLanguageAddress) == 1 ? 1 : 0);
    connect(language_, &QComboBox::currentIndexChanged, this, [this](int index) {
        meter_->SetByte(memory::kLanguageAddress, static_cast<std::uint8_t>(index));
        Reconnect();
    });
    layout->addRow(QStringLiteral("Language"), language_);

    unit_ = new QComboBox(this);
    unit_->setObjectName(QStringLiteral("Unit"));
    unit_->addItems({QStringLiteral("Bq/m3"), QStringLiteral("pCi/l")});
    unit_->setCurrentIndex(meter_->Byte(memory::kUnitAddress) == 1 ? 1 : 0);
    connect(unit_, &QComboBox::currentIndexChanged, this, [this](int index) {
        meter_->SetByte(memory::kUnitAddress, static_cast<std::uint8_t>(index));
        Reconnect();
    });
    layout->addRow(QStringLiteral("Unit"), unit_);
    auto* hint = new QLabel(QStringLiteral("The panel reads these when the meter connects: a "
                                           "plugged-in meter reconnects by itself."),
                            this);
    hint->setWordWrap(true);
    layout->addRow(hint);

    auto* refill = new QPushButton(QStringLiteral("Refill demo results"), this);
    refill->setObjectName(QStringLiteral("Refill"));
    connect(refill, &QPushButton::clicked, this, [this] {
        sim::MemoryImage image = sim::DemoMemoryImage();
        image[memory::kLanguageAddress] = static_cast<std::uint8_t>(language_->currentIndex());
        image[memory::kUnitAddress] = static_cast<std::uint8_t>(unit_->currentIndex());
        meter_->SetMemory(image);
        ShowStatus();
        Reconnect();
    });
    layout->addRow(refill);

    auto* load = new QPushButton(QStringLiteral("Load memory image..."), this);
    connect(load, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Memory image"));
        if (path.isEmpty()) return;
        sim::MemoryImage image{};
        std::string error;
        if (sim::LoadMemoryImage(path.toStdString(), image, error)) {
            meter_->SetMemory(image);
            note_->setText(QStringLiteral("Loaded %1").arg(path));
            ShowStatus();
            Reconnect();
        } else {
            note_->setText(QString::fromStdString(error));
        }
        note_->show();
    });
    layout->addRow(load);

    auto* latency = new QSpinBox(this);
    latency->setObjectName(QStringLiteral("Latency"));
    latency->setRange(0, 100);
    latency->setSuffix(QStringLiteral(" ms"));
    connect(latency, &QSpinBox::valueChanged, this,
            [this](int ms) { meter_->SetLatency(std::chrono::milliseconds(ms)); });
    layout->addRow(QStringLiteral("Latency per report"), latency);

    status_ = new QLabel(this);
    status_->setObjectName(QStringLiteral("Status"));
    layout->addRow(status_);
    note_ = new QLabel(this);
    note_->setObjectName(QStringLiteral("Note"));
    note_->setWordWrap(true);
    note_->hide();
    layout->addRow(note_);
    ShowStatus();
    setFixedWidth(360);

    // The panel clears the meter and the meter may be changed elsewhere: the count is read
    // again and again.
    auto* refresh = new QTimer(this);
    connect(refresh, &QTimer::timeout, this, [this] { ShowStatus(); });
    refresh->start(500);
    replug_ = new QTimer(this);
    connect(replug_, &QTimer::timeout, this, [this] { ReplugStep(); });
}

void SimulatorWindow::SetPanelSawLoss(std::function<bool()> sawLoss) {
    panelSawLoss_ = std::move(sawLoss);
}

void SimulatorWindow::Reconnect() {
    // An unplugged meter is read when it is plugged in; one already on its way back is too.
    if (reconnecting_ || !bus_->IsPlugged(meter_.get())) return;
    reconnecting_ = true;
    replugSteps_ = 0;
    ShowPlugged(false);
    replug_->start(100);
}

void SimulatorWindow::ReplugStep() {
    if (!reconnecting_) return;
    ++replugSteps_;
    if (!(panelSawLoss_ && panelSawLoss_()) && replugSteps_ < kReplugStepsAtMost) return;
    reconnecting_ = false;
    replug_->stop();
    ShowPlugged(true);
}

void SimulatorWindow::ShowPlugged(bool plugged) {
    {
        const QSignalBlocker quiet(plugged_);
        plugged_->setChecked(plugged);
    }
    SetPlugged(plugged);
}

void SimulatorWindow::SetPlugged(bool plugged) {
    if (plugged) {
        bus_->Plug(meter_);
    } else {
        bus_->Unplug(meter_.get());
    }
    // Each plug is a new device node with a lock of its own.
    SetHeld(held_->isChecked());
    ShowStatus();
}

void SimulatorWindow::SetHeld(bool held) {
    holder_.reset();
    if (!held || !bus_->IsPlugged(meter_.get())) return;
    holder_ = bus_->OpenDeviceLock(bus_->PathOf(meter_.get()));
    // Taken between two exchanges of the panel: the panel's own lock is never held for long.
    for (int i = 0; i < 200 && holder_ && holder_->TryLock() != HidDeviceLock::Result::kHeld; ++i) {
        QThread::msleep(5);
    }
}

void SimulatorWindow::ShowStatus() {
    const sim::MemoryImage memory = meter_->Memory();
    const auto header = memory::DecodeHeader(memory.data() + memory::kHeaderAddress);
    QString text = header ? QStringLiteral("%1 results stored").arg(header->recordCount)
                          : QStringLiteral("memory header not valid");
    if (reconnecting_) text += QStringLiteral("; reconnecting...");
    status_->setText(text);
}

}  // namespace tavex

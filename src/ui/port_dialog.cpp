#include "ui/port_dialog.h"

#include "ports/port_map.h"

#include "ui/app_identity.h"

#include "app/form1.h"
#include "serial/line_speeds.h"

#include <QButtonGroup>
#include <QFont>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>

namespace flash3::ui {

PortDialog::PortDialog(Form1& form, QWidget* parent)
    : QDialog(parent), form_(form), layout_(this, QSize(2910, 4695))
{
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(QStringLiteral("         COM Port Parameters"));
    setWindowIcon(applicationIcon());
    setModal(false);

    // Created in tab order, so the focus chain follows it.
    initialize_ = new QPushButton(QStringLiteral("Initialize"), this);
    initialize_->setObjectName(QStringLiteral("Initialize"));
    frame2_ = new QGroupBox(QStringLiteral("Baud Rate"), this);
    frame2_->setObjectName(QStringLiteral("Frame2"));
    for (int i = 1; i <= SpeedCount; ++i) {
        baudBtn_[i] = new QRadioButton(QString::fromLatin1(lineSpeed(i)->kbaud) + QStringLiteral(" k"), frame2_);
        baudBtn_[i]->setObjectName(QStringLiteral("ComBaudBtn(%1)").arg(i));
    }
    cancel_ = new QPushButton(QStringLiteral("Cancel"), this);
    cancel_->setObjectName(QStringLiteral("Cancel1"));
    portList_ = new QListWidget(this);
    portList_->setObjectName(QStringLiteral("ComPortList"));
    portList_->setSelectionMode(QAbstractItemView::SingleSelection);
    portList_->setUniformItemSizes(true);
    label1_ = new QLabel(QStringLiteral("COM Port"), this);
    label1_->setObjectName(QStringLiteral("Label1"));
    // What the highlighted number stands for, so the operator need not guess
    // which adapter is COM 33. Below everything else, so no control moves.
    portInfo_ = new QLabel(this);
    portInfo_->setObjectName(QStringLiteral("PortInfo"));
    portInfo_->setWordWrap(true);
    portInfo_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    portInfo_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    line3_ = new QWidget(this);
    line3_->setObjectName(QStringLiteral("Line3"));
    line3_->setAutoFillBackground(true);
    QPalette linePalette = line3_->palette();
    linePalette.setColor(QPalette::Window, QColor(128, 128, 128));
    line3_->setPalette(linePalette);

    // Neither button answers Enter: only a click (or Space) opens the port.
    initialize_->setAutoDefault(false);
    cancel_->setAutoDefault(false);

    setTabOrder(initialize_, baudBtn_[2]);
    setTabOrder(baudBtn_[2], baudBtn_[3]);
    setTabOrder(baudBtn_[3], baudBtn_[4]);
    setTabOrder(baudBtn_[4], baudBtn_[5]);
    setTabOrder(baudBtn_[5], cancel_);
    setTabOrder(cancel_, baudBtn_[1]);
    setTabOrder(baudBtn_[1], portList_);

    layout_.place(initialize_, 240, 2880, 1095, 375);
    layout_.place(frame2_, 1560, 480, 1095, 2175);
    layout_.place(baudBtn_[1], 120, 360, 855, 255);
    layout_.place(baudBtn_[2], 120, 720, 855, 255);
    layout_.place(baudBtn_[3], 120, 1080, 855, 255);
    layout_.place(baudBtn_[4], 120, 1440, 855, 255);
    layout_.place(baudBtn_[5], 120, 1800, 855, 255);
    layout_.place(cancel_, 1560, 2880, 1095, 375);
    layout_.place(portList_, 240, 480, 975, 2205);
    layout_.place(label1_, 360, 120, 855, 255);
    // A plain rule between the choices and the two buttons.
    layout_.place(line3_, 120, 2775, 2670, 15);
    layout_.place(portInfo_, 120, 3375, 2670, 1200);
    layout_.apply();

    connect(initialize_, &QPushButton::clicked, this, [this] { form_.Initialize_Click(); });
    connect(cancel_, &QPushButton::clicked, this, [this] { form_.Cancel1_Click(); });
    auto* group = new QButtonGroup(this);
    for (int i = 1; i <= 5; ++i) {
        group->addButton(baudBtn_[i], i);
        connect(baudBtn_[i], &QRadioButton::toggled, this, [this, i](bool checked) {
            updateTabStops();
            if (checked && !showingModel_)
                form_.ComBaudBtn_Click(i);
        });
    }
    // The model follows what the list shows as selected: Ctrl+click (or
    // Ctrl+Space) on the selected entry leaves none, and "Initialize" then
    // finds no selection rather than the entry no longer highlighted.
    connect(portList_, &QListWidget::itemSelectionChanged, this, [this] {
        if (!showingModel_)
            form_.window().selectPort(selectedPort());
    });

    initialize_->setFocus();
    showModel();
    updateTabStops();
    form_.window().addObserver(this);
}

PortDialog::~PortDialog()
{
    form_.window().removeObserver(this);
}

void PortDialog::reject()
{
    if (form_.window().programEnded()) {
        QDialog::reject();
        return;
    }
    form_.Cancel1_Click();
}

void PortDialog::updateTabStops()
{
    // Tab stops at the selected speed only; the arrow keys move within the group.
    for (int i = 1; i <= 5; ++i)
        baudBtn_[i]->setFocusPolicy(baudBtn_[i]->isChecked() ? Qt::StrongFocus : Qt::ClickFocus);
}

int PortDialog::selectedPort() const
{
    const QList<QListWidgetItem*> selected = portList_->selectedItems();
    return selected.isEmpty() ? -1 : portList_->row(selected.constFirst());
}

void PortDialog::portDialogChanged()
{
    showModel();
}

void PortDialog::showModel()
{
    const flash3::PortDialog& model = form_.window().portDialog();
    showingModel_ = true;

    QStringList shown;
    shown.reserve(portList_->count());
    for (int i = 0; i < portList_->count(); ++i)
        shown << portList_->item(i)->text();
    const bool newList = shown != model.portList;
    if (newList) {
        portList_->clear();
        portList_->addItems(model.portList);
    }
    // An entry whose number reaches a device present is bold, its tooltip the
    // device; its text stays the number.
    const bool newDevices = newList || model.portDevices != shownDevices_;
    if (newDevices) {
        shownDevices_ = model.portDevices;
        QFont bold = portList_->font();
        bold.setBold(true);
        for (int i = 0; i < portList_->count(); ++i) {
            QListWidgetItem* item = portList_->item(i);
            const QString device = model.portDevices.value(i);
            item->setData(Qt::FontRole, device.isEmpty() ? QVariant() : QVariant(bold));
            item->setData(Qt::ToolTipRole, device.isEmpty() ? QVariant()
                                                            : QVariant(QStringLiteral("COM ") + item->text()
                                                                       + QStringLiteral(": ") + device));
        }
    }
    if (model.portListIndex != selectedPort()) {
        if (model.portListIndex >= 0) {
            portList_->setCurrentRow(model.portListIndex);
            portList_->scrollToItem(portList_->currentItem());
        } else {
            portList_->clearSelection();
        }
    }
    // Looking at the ports costs a scan of the system: only when the number
    // changes or the dialog opens (a device may have been plugged in meanwhile).
    if (model.portListIndex != infoIndex_ || newDevices || (model.visible && !isVisible())) {
        infoIndex_ = model.portListIndex;
        QString info = infoIndex_ >= 1 ? describeCom(infoIndex_)
                                       : infoIndex_ == 0 ? QStringLiteral("COM 0 is no port.")
                                                         : QStringLiteral("No COM port selected.");
        // A number with no device: which ones have one, so nobody scrolls to find it.
        if (model.portDevices.value(infoIndex_).isEmpty())
            info += QLatin1Char('\n') + presentPortsLine(model);
        portInfo_->setText(info);
    }
    for (int i = 1; i <= 5; ++i) {
        baudBtn_[i]->setEnabled(model.baudBtnEnabled[i]);
        if (i == model.selectedBaudBtn && !baudBtn_[i]->isChecked())
            baudBtn_[i]->setChecked(true);
    }
    showingModel_ = false;

    if (model.visible && !isVisible()) {
        show();
        raise();
        activateWindow();
        if (model.portListIndex >= 0)
            portList_->scrollToItem(portList_->item(model.portListIndex));
    } else if (!model.visible && isVisible()) {
        hide();
    }
}

} // namespace flash3::ui

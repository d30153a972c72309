#pragma once

#include "fake_serial_line_service.h"
#include "haupt.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QStringList>

#include <gtest/gtest.h>

#include <memory>

// Answers the failure message itself; `whileWaiting` runs in its place, as
// the user would take time to read the real box.
class ScriptedMessageBox : public MessageBox {
public:
    void MsgBox(const QString& text) override
    {
        shown << text;
        if (whileWaiting)
            whileWaiting();
    }
    QStringList shown;
    std::function<void()> whileWaiting;
};

class CountingBeeper : public measurement::Beeper {
public:
    void Beep() override { ++beeps; }
    int beeps = 0;
};

// The real window holding the test double as its service.
class HauptTest : public ::testing::Test {
protected:
    void SetUp() override { makeWindow(&messages); }

    void makeWindow(MessageBox* box)
    {
        auto service = std::make_unique<FakeSerialLineService>();
        fake = service.get();
        window = std::make_unique<HAUPT>(std::move(service), box, &beeper);
    }

    template <typename Widget = QWidget>
    Widget* control(const QString& name) const
    {
        auto* widget = window->findChild<Widget*>(name);
        EXPECT_NE(widget, nullptr) << name.toStdString();
        return widget;
    }
    QString text(const char* name) const { return control<QLineEdit>(QString::fromUtf8(name))->text(); }
    QRadioButton* comPort(int index) const { return control<QRadioButton>(QStringLiteral("Option_COMPORT_%1").arg(index)); }
    // The colour a frame or label fills its background with.
    QColor background(const char* name) const
    {
        auto* widget = control(QString::fromUtf8(name));
        return widget->palette().color(widget->backgroundRole());
    }

    ScriptedMessageBox messages;
    CountingBeeper beeper;
    FakeSerialLineService* fake = nullptr;
    std::unique_ptr<HAUPT> window;
};

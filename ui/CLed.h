#pragma once

#include <QLabel>

// The status lamp of the status bar: a white rounded frame around a rounded
// lamp of the state's colour.
//
// GUI thread only.
class CLed : public QLabel {
    Q_OBJECT
public:
    enum State { kGreen = 0, kBlue = 1, kRed = 2, kYellow = 3 };
    static constexpr int kCornerPixels = 6;  // corner ellipses of 6 by 6 pixels
    static constexpr int kInsetPixels = 2;

    explicit CLed(QWidget* parent = nullptr);

    // Sets the state and repaints; any value outside 0 to 3 draws green.
    void setState(int value);
    int getState() const { return state; }

    // The colour the lamp is drawn in for a state.
    static QColor colourOf(int state);
    static const char* nameOf(int state);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int state = kGreen;
};

#pragma once
// The controls a confirmed operation holds from its confirmation until its
// result: taken as they stand, disabled (but for Quit, which the operation
// decides on itself), and given back exactly as they were.
//
// Threads: the window's thread. Ownership: points at controls the window
// owns; it must not outlive them.

#include <QAction>
#include <QWidget>
#include <array>
#include <utility>

class HeldControls {
  public:
    HeldControls(std::array<QWidget*, 4> widgets, QAction* quit)
        : m_widgets(widgets), m_quit(quit) {}

    void Hold() {
        for (std::size_t i = 0; i < m_widgets.size(); ++i) {
            m_saved[i] = m_widgets[i]->isEnabled();
            m_widgets[i]->setEnabled(false);
        }
        m_savedQuit = m_quit->isEnabled();
    }
    void GiveBack() {
        for (std::size_t i = 0; i < m_widgets.size(); ++i) m_widgets[i]->setEnabled(m_saved[i]);
        m_quit->setEnabled(m_savedQuit);
    }

  private:
    std::array<QWidget*, 4> m_widgets;
    QAction* m_quit;
    std::array<bool, 4> m_saved{};
    bool m_savedQuit = false;
};

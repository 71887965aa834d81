#pragma once

#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Sonvel/views/SetupState.hpp"

class QComboBox;
class QLabel;
class QPushButton;
class QVBoxLayout;

namespace sonvel {

class MixerModel;

// The setup window's second step, one page per phase of the live test: idle
// (record, picker and start), starting and finishing, running (the five
// steps), and the answer. Keeps the one choice the window owns, the
// application picked for the test. Main thread only.
class LiveTestStepView final : public QWidget {
  public:
    LiveTestStepView(std::shared_ptr<MixerModel> model, std::function<void()> choiceChanged,
                     QWidget* parent);

    void render(const LiveTestStepState& state);
    [[nodiscard]] const std::optional<std::string>& selectedKey() const { return selectedKey_; }

    // The page showing now, and what tests read on it.
    [[nodiscard]] QWidget* currentPage() const;
    [[nodiscard]] QWidget* idlePage() const { return idle_.page; }
    [[nodiscard]] QWidget* busyPage() const { return busy_.page; }
    [[nodiscard]] QWidget* runningPage() const { return running_.page; }
    [[nodiscard]] QWidget* answerPage() const { return answer_.page; }
    [[nodiscard]] QLabel* record() const { return idle_.record; }
    [[nodiscard]] QLabel* blocked() const { return idle_.blocked; }
    [[nodiscard]] QLabel* hint() const { return idle_.hint; }
    [[nodiscard]] QComboBox* picker() const { return idle_.picker; }
    [[nodiscard]] QPushButton* start() const { return idle_.start; }
    [[nodiscard]] QLabel* busyText() const { return busy_.text; }
    [[nodiscard]] QLabel* stepText(std::size_t index) const { return running_.texts.at(index); }
    [[nodiscard]] QPushButton* stop() const { return running_.stop; }
    [[nodiscard]] QLabel* automaticFailure() const { return answer_.failure; }
    [[nodiscard]] std::vector<QLabel*> measuredLines() const { return answer_.lines; }
    [[nodiscard]] QPushButton* yes() const { return answer_.yes; }
    [[nodiscard]] QPushButton* no() const { return answer_.no; }

  private:
    struct Idle {
        QWidget* page;
        QLabel* intro;
        QLabel* record;
        QLabel* blocked;
        QLabel* hint;
        QLabel* problem;
        QWidget* pickerRow;
        QComboBox* picker;
        QPushButton* start;
    };
    struct Busy {
        QWidget* page;
        QLabel* text;
    };
    struct Running {
        QWidget* page;
        QLabel* heading;
        std::vector<QLabel*> icons;
        std::vector<QLabel*> texts;
        QPushButton* stop;
    };
    struct Answer {
        QWidget* page;
        QWidget* failureRow;
        QLabel* failureIcon;
        QLabel* failure;
        QLabel* question;
        QWidget* measured;
        QVBoxLayout* measuredLines;
        std::vector<QLabel*> lines;
        QPushButton* yes;
        QPushButton* no;
    };
    void show(QWidget* page);
    void buildIdle();
    void buildBusy();
    void buildRunning();
    void buildAnswer();
    void renderIdle(const IdleTestState& state);
    void renderRunning(const RunningTestState& state);
    void renderAnswer(const AnswerTestState& state);

    std::shared_ptr<MixerModel> model_;
    std::function<void()> choiceChanged_;
    std::optional<std::string> selectedKey_;
    std::optional<std::string> shownSelection_;
    QVBoxLayout* pages_;
    Idle idle_{};
    Busy busy_{};
    Running running_{};
    Answer answer_{};
};

}  // namespace sonvel

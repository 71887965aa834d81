#pragma once

#include <QToolButton>
#include <functional>
#include <optional>

#include "Sonvel/views/RowState.hpp"

class QMenu;

namespace sonvel {

// The row's output-device menu. Choosing the item that is already on does
// nothing; `select` gets none for the default output.
class OutputMenuButton final : public QToolButton {
    Q_OBJECT
  public:
    using Select = std::function<void(const std::optional<OutputContext>&)>;

    static constexpr int maximumLabelWidth = 72;

    OutputMenuButton(Select select, QWidget* parent = nullptr);
    void render(const OutputMenuState& state);
    [[nodiscard]] QMenu* outputMenu() const { return menu_; }

  private:
    Select select_;
    QMenu* menu_;
    std::optional<OutputMenuState> state_;
};

}  // namespace sonvel

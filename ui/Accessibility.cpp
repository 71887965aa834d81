#include "ui/Accessibility.hpp"

#include <QAbstractButton>
#include <QAccessibleWidget>
#include <QKeyEvent>

#include "ui/AppRowWidget.hpp"
#include "ui/LevelDot.hpp"
#include "ui/MixerPanel.hpp"

namespace sonvel::Accessibility {

namespace {

// Qt lists every child widget, hidden or not, so a walk of the tree met a
// "Retry" on every row and the output button of rows that have none. Child
// order is the widgets' stacking order, which the panel keeps in screen order.
class ShownChildren final : public QAccessibleWidget {
  public:
    using QAccessibleWidget::QAccessibleWidget;

    int childCount() const override { return int(shown().size()); }
    QAccessibleInterface* child(int index) const override {
        const QList<QWidget*> list = shown();
        if (index < 0 || index >= list.size()) return nullptr;
        return QAccessible::queryAccessibleInterface(list[index]);
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        if (!child) return -1;
        return int(shown().indexOf(qobject_cast<QWidget*>(child->object())));
    }

  private:
    QList<QWidget*> shown() const {
        QList<QWidget*> list;
        for (QObject* o : widget()->children()) {
            auto* w = qobject_cast<QWidget*>(o);
            if (w && !w->isWindow() && !w->isHidden()) list.append(w);
        }
        return list;
    }
};

QAccessibleInterface* factory(const QString& className, QObject* object) {
    auto* widget = qobject_cast<QWidget*>(object);
    if (!widget) return nullptr;
    if (className == QLatin1String(LevelDot::staticMetaObject.className())) {
        return new QAccessibleWidget(widget, QAccessible::Graphic);
    }
    // A window named for the product, so a reader announces it on opening.
    if (className == QLatin1String(MixerPanel::staticMetaObject.className())) {
        return new ShownChildren(widget, QAccessible::Window, QStringLiteral("Sonvel"));
    }
    if (className == QLatin1String(AppRowWidget::staticMetaObject.className()) ||
        (className == QLatin1String("QWidget") && !widget->isWindow())) {
        return new ShownChildren(widget);
    }
    return nullptr;
}

class EnterActivates final : public QObject {
  public:
    using QObject::QObject;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::KeyPress) {
            const int key = static_cast<QKeyEvent*>(event)->key();
            if (key == Qt::Key_Return || key == Qt::Key_Enter) {
                static_cast<QAbstractButton*>(watched)->click();
                return true;
            }
        }
        return false;
    }
};

}  // namespace

void install() {
    static const bool installed = [] {
        QAccessible::installFactory(factory);
        return true;
    }();
    (void)installed;
}

void activateOnEnter(QAbstractButton& button) {
    button.installEventFilter(new EnterActivates(&button));
}

}  // namespace sonvel::Accessibility

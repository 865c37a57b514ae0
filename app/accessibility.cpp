#include "app/accessibility.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QFocusEvent>
#include <QHash>
#include <QLabel>
#include <QPointer>
#include <QTextBlock>
#include <QTextDocument>
#include <QWindow>

namespace {

struct Link
{
    QString href;
    QString words;
    int position = -1; // in the label's document
};

// The label's first link: its target, its words and where they are.
Link firstLink(const QLabel* label)
{
    QTextDocument document;
    document.setHtml(label->text());
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            if (fragment.charFormat().isAnchor())
                return {fragment.charFormat().anchorHref(), fragment.text(), fragment.position()};
        }
    }
    return {};
}

class LinkFocus : public QObject
{
public:
    explicit LinkFocus(QLabel* label) : QObject(label) {}

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::FocusIn) {
            const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
            auto* label = static_cast<QLabel*>(watched);
            if (reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason) {
                // The label's document holds the same text, so the positions agree.
                const Link link = firstLink(label);
                if (link.position >= 0)
                    label->setSelection(link.position, static_cast<int>(link.words.size()));
            }
        }
        return false;
    }
};

QString plainText(const QLabel* label)
{
    QTextDocument document;
    document.setHtml(label->text());
    return document.toPlainText().simplified();
}

class LinkLabelAccessible : public QAccessibleWidget
{
public:
    explicit LinkLabelAccessible(QLabel* label) : QAccessibleWidget(label, QAccessible::Link) {}

    QString text(QAccessible::Text t) const override
    {
        const QLabel* label = static_cast<const QLabel*>(widget());
        switch (t) {
        case QAccessible::Name:
            return label->accessibleName().isEmpty() ? firstLink(label).words : label->accessibleName();
        case QAccessible::Description:
            return label->accessibleDescription().isEmpty() ? plainText(label) : label->accessibleDescription();
        default:
            return QAccessibleWidget::text(t);
        }
    }

    QStringList actionNames() const override { return QStringList{pressAction()} + QAccessibleWidget::actionNames(); }

    void doAction(const QString& actionName) override
    {
        auto* label = static_cast<QLabel*>(widget());
        // A hidden link (no card identified) is no action at all.
        if (actionName == pressAction() && label->isEnabled() && !label->isHidden()) {
            const QString href = firstLink(label).href;
            if (!href.isEmpty())
                emit label->linkActivated(href);
            return;
        }
        QAccessibleWidget::doAction(actionName);
    }
};

// A notice for screen readers, outside the widget tree, shown once per
// announcement: AT-SPI readers speak a notification that shows, wherever the
// focus is.
class Notice : public QAccessibleInterface
{
public:
    Notice(QLabel* source, const QString& message) : source(source), message(message) {}

    bool isValid() const override { return !source.isNull(); }
    QObject* object() const override { return nullptr; }
    QWindow* window() const override { return source ? source->window()->windowHandle() : nullptr; }
    QList<QPair<QAccessibleInterface*, QAccessible::Relation>> relations(QAccessible::Relation) const override
    {
        return {};
    }
    QAccessibleInterface* focusChild() const override { return nullptr; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QAccessibleInterface* parent() const override
    {
        return source ? QAccessible::queryAccessibleInterface(source->window()) : nullptr;
    }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QString text(QAccessible::Text t) const override { return t == QAccessible::Name ? message : QString(); }
    void setText(QAccessible::Text, const QString&) override {}
    QRect rect() const override { return source ? QRect(source->mapToGlobal(QPoint(0, 0)), source->size()) : QRect(); }
    QAccessible::Role role() const override { return QAccessible::Notification; }
    QAccessible::State state() const override { return {}; }

private:
    QPointer<QLabel> source;
    QString message;
};

QAccessibleInterface* linkLabelFactory(const QString& className, QObject* object)
{
    if (className != QLatin1String("QLabel"))
        return nullptr;
    auto* label = qobject_cast<QLabel*>(object);
    if (!label || !(label->textInteractionFlags() & Qt::LinksAccessibleByKeyboard))
        return nullptr;
    return new LinkLabelAccessible(label);
}

} // namespace

void installLinkAccessibility()
{
    static const bool done = (QAccessible::installFactory(linkLabelFactory), true);
    Q_UNUSED(done);
}

void focusLinkOnTab(QLabel* label)
{
    label->installEventFilter(new LinkFocus(label));
}

void announce(QLabel* source)
{
    // A new notice each time: readers keep what they last heard of an object,
    // name included. The one before goes; QAccessible owns them.
    static QHash<QLabel*, QAccessible::Id> notices;
    if (const auto found = notices.constFind(source); found != notices.constEnd()) {
        QAccessible::deleteAccessibleInterface(found.value());
    } else {
        QObject::connect(source, &QObject::destroyed,
                         [source] { QAccessible::deleteAccessibleInterface(notices.take(source)); });
    }
    auto* notice = new Notice(source, plainText(source));
    notices.insert(source, QAccessible::registerAccessibleInterface(notice));
    QAccessibleEvent shown(notice, QAccessible::ObjectShow);
    QAccessible::updateAccessibility(&shown);
}

#include "app/accessibility.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QFocusEvent>
#include <QHash>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QStyle>
#include <QStyleOptionFrame>
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
        case QAccessible::Description: {
            if (!label->accessibleDescription().isEmpty())
                return label->accessibleDescription();
            // A link that is all its label would be said twice.
            const QString sentence = plainText(label);
            return sentence == text(QAccessible::Name).simplified() ? QString() : sentence;
        }
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

const char wholeTextProperty[] = "zentavoWholeText";

// What QAccessibleLineEdit offers for a read-only field, but with the
// attribute run over the whole text, so that readers take the line whole.
class ReadOnlyFieldAccessible : public QAccessibleWidget, public QAccessibleTextInterface
{
public:
    explicit ReadOnlyFieldAccessible(QLineEdit* field) : QAccessibleWidget(field, QAccessible::EditableText) {}

    void* interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Value)
            return field()->text();
        return QAccessibleWidget::text(t);
    }

    QAccessible::State state() const override
    {
        QAccessible::State state = QAccessibleWidget::state();
        state.readOnly = field()->isReadOnly();
        state.editable = !field()->isReadOnly();
        state.selectableText = true;
        return state;
    }

    QString text(int startOffset, int endOffset) const override
    {
        if (startOffset < 0 || endOffset < startOffset)
            return QString();
        return field()->text().mid(startOffset, endOffset - startOffset);
    }
    int characterCount() const override { return static_cast<int>(field()->text().size()); }

    QString attributes(int offset, int* startOffset, int* endOffset) const override
    {
        // The end counts as inside: readers ask there for the line's last run.
        if (offset < 0 || offset > characterCount()) {
            *startOffset = *endOffset = -1;
            return QString();
        }
        *startOffset = 0;
        *endOffset = characterCount();
        return QString();
    }

    void selection(int selectionIndex, int* startOffset, int* endOffset) const override
    {
        *startOffset = *endOffset = 0;
        if (selectionIndex != 0 || !field()->hasSelectedText())
            return;
        *startOffset = field()->selectionStart();
        *endOffset = field()->selectionEnd();
    }
    int selectionCount() const override { return field()->hasSelectedText() ? 1 : 0; }
    void addSelection(int startOffset, int endOffset) override { setSelection(0, startOffset, endOffset); }
    void removeSelection(int selectionIndex) override
    {
        if (selectionIndex == 0)
            field()->deselect();
    }
    void setSelection(int selectionIndex, int startOffset, int endOffset) override
    {
        if (selectionIndex == 0)
            field()->setSelection(startOffset, endOffset - startOffset);
    }
    int cursorPosition() const override { return field()->cursorPosition(); }
    void setCursorPosition(int position) override { field()->setCursorPosition(position); }
    void scrollToSubstring(int startIndex, int endIndex) override
    {
        field()->setCursorPosition(endIndex);
        field()->setCursorPosition(startIndex);
    }

    QRect characterRect(int offset) const override
    {
        const QLineEdit* edit = field();
        const QString all = edit->text();
        if (offset < 0 || offset >= all.size())
            return QRect();
        // Where QLineEdit paints: its contents rectangle less the text
        // margins, two pixels in, centred vertically. The numbers fit the
        // field, so the text is never scrolled.
        QStyleOptionFrame option;
        option.initFrom(edit);
        option.lineWidth =
            edit->hasFrame() ? edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, edit) : 0;
        option.state |= QStyle::State_Sunken;
        if (edit->isReadOnly())
            option.state |= QStyle::State_ReadOnly;
        const QRect area = edit->style()
                               ->subElementRect(QStyle::SE_LineEditContents, &option, edit)
                               .marginsRemoved(edit->textMargins());
        const QFontMetrics metrics(edit->font());
        const QRect local(area.x() + 2 + metrics.horizontalAdvance(all.left(offset)),
                          area.y() + (area.height() - metrics.height() + 1) / 2,
                          metrics.horizontalAdvance(all.at(offset)), metrics.height());
        return QRect(edit->mapToGlobal(local.topLeft()), local.size());
    }

    int offsetAtPoint(const QPoint& point) const override
    {
        for (int i = 0; i < characterCount(); ++i) {
            if (characterRect(i).contains(point))
                return i;
        }
        return -1;
    }

private:
    QLineEdit* field() const { return static_cast<QLineEdit*>(widget()); }
};

// A notice for screen readers, outside the widget tree, shown once per
// announcement: AT-SPI readers speak a notification that shows, wherever the
// focus is.
class Notice : public QAccessibleInterface
{
public:
    Notice(QWidget* source, const QString& message) : source(source), message(message) {}

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
    QPointer<QWidget> source;
    QString message;
};

// The notice last shown for each source.
QHash<QWidget*, QAccessible::Id>& notices()
{
    static QHash<QWidget*, QAccessible::Id> shown;
    return shown;
}

QAccessibleInterface* linkLabelFactory(const QString& className, QObject* object)
{
    if (className == QLatin1String("QLineEdit") && object->property(wholeTextProperty).toBool())
        return new ReadOnlyFieldAccessible(static_cast<QLineEdit*>(object));
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

void presentReadOnlyField(QLineEdit* field)
{
    installLinkAccessibility();
    field->setProperty(wholeTextProperty, true);
    // An interface made before the mark (an event while the form was built)
    // is Qt's own: the next query makes ours.
    QAccessibleInterface* made = QAccessible::queryAccessibleInterface(field);
    if (made && !dynamic_cast<ReadOnlyFieldAccessible*>(made))
        QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(made));
}

void describeSentence(std::initializer_list<QLabel*> labels)
{
    QStringList parts;
    for (const QLabel* label : labels)
        parts << plainText(label);
    const QString sentence = parts.join(QLatin1Char(' '));
    for (QLabel* label : labels)
        label->setAccessibleDescription(sentence);
}

QAccessibleInterface* shownNotice(QWidget* source)
{
    const auto found = notices().constFind(source);
    return found == notices().constEnd() ? nullptr : QAccessible::accessibleInterface(found.value());
}

void announce(QLabel* source)
{
    announce(source, plainText(source));
}

void announce(QWidget* source, const QString& message)
{
    // A new notice each time: readers keep what they last heard of an object,
    // name included. The one before goes; QAccessible owns them.
    if (const auto found = notices().constFind(source); found != notices().constEnd()) {
        QAccessible::deleteAccessibleInterface(found.value());
    } else {
        QObject::connect(source, &QObject::destroyed,
                         [source] { QAccessible::deleteAccessibleInterface(notices().take(source)); });
    }
    auto* notice = new Notice(source, message);
    notices().insert(source, QAccessible::registerAccessibleInterface(notice));
    QAccessibleEvent shown(notice, QAccessible::ObjectShow);
    QAccessible::updateAccessibility(&shown);
}

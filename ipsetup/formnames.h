// Screen readers and desktop tests find widgets by their form names. Qt 5 publishes no object
// names, so they go into the accessible description (a label's accessible name is its text).
#pragma once

#include <QWidget>

inline void publishFormNames(QWidget *window)
{
    for (QWidget *child : window->findChildren<QWidget *>()) {
        if (!child->objectName().isEmpty() && child->accessibleDescription().isEmpty())
            child->setAccessibleDescription(child->objectName());
    }
}

#pragma once

#include <QList>

#include <optional>

namespace orvel {

// First in, first out; the oldest element first. No capacity limit of its own.
template <typename T> struct Queue {
    QList<T> elements;

    void enqueue(const T& element) { elements.append(element); }

    // Removes and returns the front element; nothing on an empty queue.
    std::optional<T> dequeue()
    {
        if (elements.isEmpty())
            return std::nullopt;
        return elements.takeFirst();
    }

    friend bool operator==(const Queue& a, const Queue& b) { return a.elements == b.elements; }
};

} // namespace orvel

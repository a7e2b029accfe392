// Intrusive doubly linked list of the board's port groups, ports, line
// circuits and coefficient-file records.
#pragma once

#include <cstdint>

class cListElement {
public:
    cListElement() : m_Next(nullptr), m_Prev(nullptr) {}
    cListElement(const cListElement&) : m_Next(nullptr), m_Prev(nullptr) {}  // copies are unlisted
    cListElement& operator=(const cListElement&) { return *this; }
    cListElement* m_Next;
    cListElement* m_Prev;
};

// T derives from cListElement. The list does not own its elements unless
// emptied with RemoveAll(true); owners do that before the list dies.
template <class T>
class cList {
public:
    cList() : m_Count(0), m_Head(nullptr), m_Tail(nullptr) {}
    cList(const cList&) = delete;
    cList& operator=(const cList&) = delete;

    int AddToTail(T* element) {
        if (element == nullptr) return -1;
        element->m_Next = nullptr;
        element->m_Prev = m_Tail;
        if (m_Tail != nullptr)
            m_Tail->m_Next = element;
        else
            m_Head = element;
        m_Tail = element;
        ++m_Count;
        return 0;
    }

    T* RemoveFromHead() {
        T* head = m_Head;
        if (head == nullptr) return nullptr;
        if (head == m_Tail) {
            m_Head = m_Tail = nullptr;
        } else {
            m_Head = static_cast<T*>(head->m_Next);
            m_Head->m_Prev = nullptr;
        }
        head->m_Next = nullptr;
        head->m_Prev = nullptr;
        --m_Count;
        return head;
    }

    // The first element whose Compare with key answers 0.
    T* Find(T* key) const {
        if (key == nullptr) return nullptr;
        for (T* e = m_Head; e != nullptr; e = Next(e))
            if (e->Compare(key) == 0) return e;
        return nullptr;
    }

    int RemoveAll(bool destroy) {
        if (destroy) {
            while (T* e = RemoveFromHead()) delete e;
        }
        m_Count = 0;
        m_Head = m_Tail = nullptr;
        return 0;
    }

    static T* Next(const T* element) { return static_cast<T*>(element->m_Next); }
    T* Head() const { return m_Head; }

    uint32_t m_Count;
    T* m_Head;
    T* m_Tail;
};

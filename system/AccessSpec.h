#pragma once
// The rights asked for on an object, in the shape its ACEs grant them.
#include <windows.h>

namespace TARN {

// Two triples of access masks: the inheritable one (the object itself, child containers, child
// objects) and the one-level one (the same three, from ACEs marked NO_PROPAGATE_INHERIT_ACE).
// The operators work on the six masks one by one.
class CAccessSpec {
public:
    enum ESlot {
        eObject = 0,
        eContainers,
        eChildren,
        eOneLevelObject,
        eOneLevelContainers,
        eOneLevelChildren,
        eSlotCount
    };

    CAccessSpec() : m_masks() {}
    CAccessSpec(DWORD object, DWORD containers, DWORD children, DWORD oneLevelObject = 0,
                DWORD oneLevelContainers = 0, DWORD oneLevelChildren = 0)
        : m_masks{object, containers, children, oneLevelObject, oneLevelContainers, oneLevelChildren} {}

    // What the system's callers ask for: one mask on the object, inherited by every child.
    static CAccessSpec Inheritable(DWORD mask) { return CAccessSpec(mask, mask, mask); }

    DWORD& operator[](int slot) { return m_masks[slot]; }
    DWORD operator[](int slot) const { return m_masks[slot]; }

    bool IsEmpty() const {
        for (DWORD mask : m_masks) {
            if (mask) return false;
        }
        return true;
    }
    bool operator==(const CAccessSpec& other) const {
        for (int i = 0; i < eSlotCount; ++i) {
            if (m_masks[i] != other.m_masks[i]) return false;
        }
        return true;
    }
    bool operator!=(const CAccessSpec& other) const { return !(*this == other); }

    CAccessSpec operator&(const CAccessSpec& other) const {
        CAccessSpec r;
        for (int i = 0; i < eSlotCount; ++i) r.m_masks[i] = m_masks[i] & other.m_masks[i];
        return r;
    }
    CAccessSpec operator|(const CAccessSpec& other) const {
        CAccessSpec r;
        for (int i = 0; i < eSlotCount; ++i) r.m_masks[i] = m_masks[i] | other.m_masks[i];
        return r;
    }
    CAccessSpec operator~() const {
        CAccessSpec r;
        for (int i = 0; i < eSlotCount; ++i) r.m_masks[i] = ~m_masks[i];
        return r;
    }

private:
    DWORD m_masks[eSlotCount];
};

}  // namespace TARN

#pragma once
// The thread entry thunk: a small heap object that binds one object to one of its member
// routines, so the pair can serve as the entry of a thread that takes a single pointer.
// The routine's result becomes the thread's exit code.

#include "platform/Types.h"

#include <new>

class CThreadThunk {
public:
    virtual ~CThreadThunk() = default;
    virtual DWORD Call(void* pParam) = 0;

    // The entry a thread starts at, with the thunk as its argument.
    static DWORD Entry(CThreadThunk* pThunk, void* pParam) { return pThunk->Call(pParam); }
};

template <class T>
class CMemberThreadThunk final : public CThreadThunk {
public:
    using Routine = DWORD (T::*)(void*);
    CMemberThreadThunk(T* pObject, Routine pfn) : m_pObject(pObject), m_pfn(pfn) {}
    DWORD Call(void* pParam) override { return (m_pObject->*m_pfn)(pParam); }

private:
    T* m_pObject;
    Routine m_pfn;
};

// Returns null only when memory runs out.
template <class T>
CThreadThunk* MakeThreadThunk(T* pObject, DWORD (T::*pfn)(void*)) {
    return new (std::nothrow) CMemberThreadThunk<T>(pObject, pfn);
}

inline void FreeThreadThunk(CThreadThunk* pThunk) { delete pThunk; }

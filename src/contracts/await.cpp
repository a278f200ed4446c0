#include "async_with.hpp"

#include <cstring>
#include <new>

namespace py {

namespace {

// Frames of one size class are kept on a free list threaded through them.
constexpr std::size_t frame_granule = 64;
constexpr std::size_t frame_classes = 32;  // frames up to 2 KiB are pooled
constexpr int frames_kept = 64;            // per size class

struct FreeFrame {
    FreeFrame* next;
};
FreeFrame* free_frames[frame_classes];
int free_counts[frame_classes];

std::size_t frame_class(std::size_t size) { return (size + frame_granule - 1) / frame_granule; }

}  // namespace

namespace {
FrameBlock last_block;
}  // namespace

void* frame_allocate(std::size_t size) {
    std::size_t c = frame_class(size);
    void* frame;
    if (c < frame_classes && free_frames[c]) {
        frame = free_frames[c];
        free_frames[c] = free_frames[c]->next;
        --free_counts[c];
        // (The link is the only word written over what the last frame left, and
        // that frame's Refs all cleared their marks as they went.)
        static_cast<FreeFrame*>(frame)->next = nullptr;
    } else {
        std::size_t bytes = c < frame_classes ? c * frame_granule : size;
        frame = ::operator new(bytes);
        // New memory holds whatever was there: no word of it may pass for a Ref's mark.
        std::memset(frame, 0, bytes);
    }
    last_block = {static_cast<const std::byte*>(frame), size};
    return frame;
}

FrameBlock take_frame_block() noexcept { return std::exchange(last_block, FrameBlock{}); }

int traverse_refs(FrameBlock block, visitproc visit, void* arg) {
    static_assert(sizeof(Ref) == 2 * sizeof(std::uint64_t) && alignof(Ref) == alignof(std::uint64_t));
    // Frames are allocated aligned, and a Ref lies at a multiple of its alignment.
    const auto* word = reinterpret_cast<const std::uint64_t*>(block.start);
    const std::size_t words = block.size / sizeof(std::uint64_t);
    for (std::size_t i = 0; i + 1 < words; ++i) {
        if (word[i] != ref_mark) continue;
        Py_VISIT(reinterpret_cast<PyObject*>(word[i + 1]));
        ++i;
    }
    return 0;
}

void frame_release(void* frame, std::size_t size) noexcept {
    std::size_t c = frame_class(size);
    if (c < frame_classes && free_counts[c] < frames_kept) {
        free_frames[c] = new (frame) FreeFrame{free_frames[c]};
        ++free_counts[c];
        return;
    }
    ::operator delete(frame);
}

namespace {

bool is_native_coroutine(PyObject* o) {
    if (PyCoro_CheckExact(o)) return true;
    // A generator decorated with types.coroutine.
    return PyGen_CheckExact(o) &&
           (reinterpret_cast<PyCodeObject*>(reinterpret_cast<PyGenObject*>(o)->gi_code)->co_flags &
            CO_ITERABLE_COROUTINE);
}

}  // namespace

Ref awaitable_iterator(const Ref& obj) {
    PyObject* o = obj.get();
    if (is_native_coroutine(o)) return obj;
    unaryfunc getter = Py_TYPE(o)->tp_as_async ? Py_TYPE(o)->tp_as_async->am_await : nullptr;
    if (!getter) raise_format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", Py_TYPE(o)->tp_name);
    Ref it = Ref::checked(getter(o));
    if (PyCoro_CheckExact(it.get())) raise(PyExc_TypeError, "__await__() returned a coroutine");
    if (!PyIter_Check(it.get()))
        raise_format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(it.get())->tp_name);
    return it;
}

Ref lookup_special(const Ref& obj, PyObject* name) {
    PyObject* found = _PyType_Lookup(Py_TYPE(obj.get()), name);  // borrowed
    if (!found) {
        PyErr_SetObject(PyExc_AttributeError, name);
        raise();
    }
    descrgetfunc get = Py_TYPE(found)->tp_descr_get;
    if (!get) return Ref::borrow(found);
    return Ref::checked(get(found, obj.get(), reinterpret_cast<PyObject*>(Py_TYPE(obj.get()))));
}

Ref with_awaitable(Ref obj, const char* method) {
    PyObject* o = obj.get();
    if (!is_native_coroutine(o) && !(Py_TYPE(o)->tp_as_async && Py_TYPE(o)->tp_as_async->am_await)) {
        raise_format(PyExc_TypeError,
                     "'async with' received an object from %s that does not implement __await__: %.100s", method,
                     Py_TYPE(o)->tp_name);
    }
    return obj;
}

ExitArgs exit_args(PyError& error) {
    Ref value = Ref::borrow(error.value());
    Ref type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value.get())));
    Ref traceback = Ref::borrow(error.traceback() ? error.traceback() : Py_None);
    if (!traceback.is_none()) check(PyException_SetTraceback(value.get(), traceback.get()));
    return {type, value, traceback};
}

void chain_context(PyError& raised, PyError& handled) noexcept {
    PyObject* value = raised.value();
    PyObject* context = handled.value();
    if (!value || !context || value == context) return;
    PyObject* existing = PyException_GetContext(value);
    if (existing) {
        Py_DECREF(existing);
        return;
    }
    PyException_SetContext(value, Py_NewRef(context));
}

}  // namespace py

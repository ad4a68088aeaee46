#include "nt/threads.h"

#include "nt/kernel.h"
#include "nt/races.h"

namespace tolvanex::host {

void *ThreadTable::open_handle(Context &ctx) {
    void *h = reinterpret_cast<void *>(next_handle_);
    next_handle_ += 4;
    handles_[h] = ctx.id;
    auto obj = std::make_unique<ThreadObject>();
    obj->Header.Type = kThreadObjectType;
    obj->Header.SignalState = 0;
    obj->context = ctx.id;
    objects_[ctx.id] = std::move(obj);
    return h;
}

ThreadObject *ThreadTable::object(void *handle) {
    auto it = handles_.find(handle);
    return it == handles_.end() ? nullptr : objects_.at(it->second).get();
}

ThreadObject *ThreadTable::object_of(const void *object) {
    for (auto &[id, obj] : objects_)
        if (obj.get() == object)
            return obj.get();
    return nullptr;
}

void ThreadTable::ended(Context &ctx) {
    auto it = objects_.find(ctx.id);
    if (it == objects_.end())
        return;
    it->second->Header.SignalState = 1;
    races::release(it->second.get()); // a wait on the thread sees all it did
    kernel_.wake_all(it->second.get());
}

bool ThreadTable::close_handle(void *handle) { return handles_.erase(handle) > 0; }

} // namespace tolvanex::host

// The writer thread and its pool of buffers (write_queue.h).
#include "write_queue.h"

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "checked_io.h"


struct write_queue {
    struct job {
        FILE *file;
        const char *name;
        unsigned char *buf;
        size_t len;
    };
    std::mutex lock;
    std::condition_variable changed;
    std::deque<job> jobs;
    std::vector<unsigned char *> free_buffers;
    std::vector<unsigned char *> all_buffers;
    bool stopping = false;
    std::thread worker;
};

namespace {

void queue_run(write_queue *q)
{
    std::unique_lock<std::mutex> hold(q->lock);
    for (;;) {
        q->changed.wait(hold, [q] { return !q->jobs.empty() || q->stopping; });
        if (q->jobs.empty())
            return;
        write_queue::job j = q->jobs.front();
        q->jobs.pop_front();
        hold.unlock();
        errno = 0;
        if (fwrite(j.buf, 1, j.len, j.file) != j.len)
            fail_errno(j.name);
        hold.lock();
        q->free_buffers.push_back(j.buf);
        q->changed.notify_all();
    }
}

} // namespace

write_queue *queue_start(size_t nof_buffers, size_t buffer_bytes)
{
    write_queue *q = new write_queue;
    for (size_t k = 0; k < nof_buffers; ++k) {
        unsigned char *buf = static_cast<unsigned char *>(alloc_or_fail(buffer_bytes, "output buffers"));
        q->all_buffers.push_back(buf);
        q->free_buffers.push_back(buf);
    }
    q->worker = std::thread(queue_run, q);
    return q;
}

unsigned char *queue_buffer(write_queue *q)
{
    std::unique_lock<std::mutex> hold(q->lock);
    q->changed.wait(hold, [q] { return !q->free_buffers.empty(); });
    unsigned char *buf = q->free_buffers.back();
    q->free_buffers.pop_back();
    return buf;
}

void queue_write(write_queue *q, FILE *f, const char *name, unsigned char *buf, size_t len)
{
    std::lock_guard<std::mutex> hold(q->lock);
    q->jobs.push_back(write_queue::job{f, name, buf, len});
    q->changed.notify_all();
}

void queue_release(write_queue *q, unsigned char *buf)
{
    std::lock_guard<std::mutex> hold(q->lock);
    q->free_buffers.push_back(buf);
    q->changed.notify_all();
}

void queue_finish(write_queue *q)
{
    {
        std::lock_guard<std::mutex> hold(q->lock);
        q->stopping = true;
        q->changed.notify_all();
    }
    q->worker.join();
    for (unsigned char *buf : q->all_buffers)
        free(buf);
    delete q;
}

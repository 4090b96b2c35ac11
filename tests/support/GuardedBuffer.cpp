#include "support/GuardedBuffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

CGuardedBuffer::CGuardedBuffer(size_t size) : m_mapping(nullptr), m_mappingSize(0), m_size(size) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t usable = (size + page - 1) / page * page;
    m_mappingSize = usable + page;
    m_mapping =
        mmap(nullptr, m_mappingSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m_mapping == MAP_FAILED) {
        throw std::runtime_error("mmap failed");
    }
    unsigned char* guard = static_cast<unsigned char*>(m_mapping) + usable;
    if (mprotect(guard, page, PROT_NONE) != 0) {
        munmap(m_mapping, m_mappingSize);
        throw std::runtime_error("mprotect failed");
    }
    m_data = guard - size;
    std::memset(m_data, FILL, size);
}

CGuardedBuffer::CGuardedBuffer(const Bytes& contents) : CGuardedBuffer(contents.size()) {
    if (!contents.empty()) {
        std::memcpy(m_data, contents.data(), contents.size());
    }
}

CGuardedBuffer::~CGuardedBuffer() {
    munmap(m_mapping, m_mappingSize);
}

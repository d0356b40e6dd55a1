#include "objectives/deposit_record.h"

#include <algorithm>

void DepositRecord::prepare(unsigned long long capacity)
{
    if (capacity != this->capacity()) {
        const std::size_t n = static_cast<std::size_t>(capacity);
        nodes_.allocate(n, "deposit nodes");
        rays_.allocate(n, "deposit rays");
        values_.allocate(n, "deposit values");
    }
    if (count_.empty()) count_.allocate(1, "deposit count");
    count_.zero();
}

unsigned long long DepositRecord::count() const
{
    unsigned long long n = 0;
    if (!count_.empty()) count_.download(&n, 1);
    return n;
}

void DepositRecord::download(std::vector<int>& nodes, std::vector<int>& rays, std::vector<float>& values) const
{
    const std::size_t n = static_cast<std::size_t>(std::min(count(), capacity()));
    nodes.resize(n);
    rays.resize(n);
    values.resize(n);
    nodes_.download(nodes.data(), n);
    rays_.download(rays.data(), n);
    values_.download(values.data(), n);
}

// A parsed configuration table (from a TOML file: Python's tomllib parses it and hands the
// table over). Typed lookups name the key in their error.
#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <variant>

class ConfigTable {
public:
    // monostate: a value of a kind the objectives never read (an array, a table).
    using Value = std::variant<std::monostate, std::string, long long, double, bool>;

    void set(const std::string& key, Value value) { values_[key] = std::move(value); }
    bool contains(const std::string& key) const { return values_.count(key) != 0; }

    std::string getString(const std::string& key) const { return get<std::string>(key, "a string"); }
    // A file name: a string that is not empty.
    std::string getFileName(const std::string& key) const
    {
        std::string name = getString(key);
        if (name.empty()) throw std::runtime_error("configuration key '" + key + "' must name a file, not be empty");
        return name;
    }
    long long getInt(const std::string& key) const { return get<long long>(key, "an integer"); }
    // Integers are accepted where a floating-point value is asked for.
    double getDouble(const std::string& key) const
    {
        const Value& v = find(key);
        if (const auto* i = std::get_if<long long>(&v)) return static_cast<double>(*i);
        if (const auto* d = std::get_if<double>(&v)) return *d;
        throw std::runtime_error("configuration key '" + key + "' must be a number");
    }

private:
    const Value& find(const std::string& key) const
    {
        const auto it = values_.find(key);
        if (it == values_.end()) throw std::runtime_error("configuration key '" + key + "' is missing");
        return it->second;
    }
    template <typename T>
    T get(const std::string& key, const char* kind) const
    {
        const Value& v = find(key);
        if (const auto* t = std::get_if<T>(&v)) return *t;
        throw std::runtime_error("configuration key '" + key + "' must be " + kind);
    }

    std::map<std::string, Value> values_;
};

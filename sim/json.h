// tlxsim: a minimal JSON text builder for the report.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace tlxsim {

class Json {
public:
    Json& Obj(const char* key = nullptr) { return Open(key, '{', '}'); }
    Json& Arr(const char* key = nullptr) { return Open(key, '[', ']'); }
    Json& End()
    {
        text_ += closers_.back();
        closers_.pop_back();
        fresh_.pop_back();
        return *this;
    }
    Json& Str(const char* key, const std::string& value)
    {
        Pre(key);
        Quote(value);
        return *this;
    }
    Json& Num(const char* key, long long value)
    {
        Pre(key);
        text_ += std::to_string(value);
        return *this;
    }
    Json& Dbl(const char* key, double value)
    {
        Pre(key);
        char b[48];
        std::snprintf(b, sizeof b, "%.3f", value);
        text_ += b;
        return *this;
    }
    Json& Bool(const char* key, bool value)
    {
        Pre(key);
        text_ += value ? "true" : "false";
        return *this;
    }
    Json& Null(const char* key)
    {
        Pre(key);
        text_ += "null";
        return *this;
    }
    const std::string& Text() const { return text_; }

private:
    Json& Open(const char* key, char open, char close)
    {
        Pre(key);
        text_ += open;
        closers_.push_back(close);
        fresh_.push_back(true);
        return *this;
    }
    void Pre(const char* key)
    {
        if (!fresh_.empty()) {
            if (!fresh_.back())
                text_ += ',';
            fresh_.back() = false;
            if (fresh_.size() <= 2)
                text_ += "\n" + std::string(2 * fresh_.size(), ' ');
        }
        if (key) {
            Quote(key);
            text_ += ':';
        }
    }
    void Quote(const std::string& s)
    {
        text_ += '"';
        for (unsigned char c : s) {
            if (c == '"' || c == '\\') {
                text_ += '\\';
                text_ += static_cast<char>(c);
            } else if (c < 0x20 || c >= 0x7F) {
                char b[8];
                std::snprintf(b, sizeof b, "\\u%04x", c);
                text_ += b;
            } else {
                text_ += static_cast<char>(c);
            }
        }
        text_ += '"';
    }

    std::string text_;
    std::vector<char> closers_;
    std::vector<bool> fresh_;
};

}  // namespace tlxsim

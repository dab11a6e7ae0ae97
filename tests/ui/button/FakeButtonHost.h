#pragma once

// Recording doubles of everything a Command needs from its host.

#include "ui/button/Command.h"

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace kt::test {

// One paint as the surface saw it: everything from a Clear to the next Clear.
struct RecordedPaint {
    std::vector<std::string> calls;
    std::optional<ButtonPicture> picture;
    std::optional<std::pair<GradientPoint, GradientPoint>> gradient;
    std::vector<std::pair<PixelRect, PixelRect>> pieces; // source, destination
    std::optional<PixelRect> measuredIn;
    std::optional<PixelRect> drawnIn;
    std::string text;
    Colour textColour = 0;
    std::string accessKey;
    std::optional<FocusLines> focus;
};

class RecordingSurface : public ButtonSurface {
public:
    std::optional<PixelSize> size = PixelSize{149, 29};
    double twipsPerPixel = 15;
    std::optional<int32_t> textHeight = 13;
    bool gradientWorks = true;
    ButtonFont font;
    Colour textColour = 0;
    // What the surface makes of a colour it is given (a real one may map it to one it can show).
    std::function<Colour(Colour)> acceptColour = [](Colour c) { return c; };
    bool opaque = true;
    std::string accessKey;
    bool focusShown = false;
    std::vector<RecordedPaint> paints;

    std::optional<PixelSize> Size() override { return size; }
    double TwipsPerPixel() override { return twipsPerPixel; }
    void Clear() override {
        paints.emplace_back();
        Log("Clear");
    }
    bool FillVerticalGradient(const GradientPoint& top, const GradientPoint& bottom) override {
        Log("Gradient");
        if (gradientWorks) {
            Current().gradient = {top, bottom};
        }
        return gradientWorks;
    }
    void DrawPicturePiece(ButtonPicture picture, const PixelRect& source,
                          const PixelRect& destination) override {
        Log("Piece");
        Current().picture = picture;
        Current().pieces.emplace_back(source, destination);
    }
    std::optional<int32_t> MeasureWrappedText(std::string_view text,
                                              const PixelRect& bounds) override {
        Log("Measure");
        Current().text = std::string(text);
        Current().measuredIn = bounds;
        return textHeight;
    }
    void DrawWrappedText(std::string_view text, const PixelRect& bounds) override {
        Log("Text");
        Current().text = std::string(text);
        Current().drawnIn = bounds;
        Current().textColour = textColour;
    }
    void Present() override {
        Log("Present");
        Current().accessKey = accessKey;
    }
    void HideFocusLines() override {
        Log("HideFocus");
        focusShown = false;
    }
    void ShowFocusLines(const FocusLines& lines) override {
        Log("ShowFocus");
        focusShown = true;
        Current().focus = lines;
    }
    ButtonFont Font() override { return font; }
    void SetFont(const ButtonFont& f) override { font = f; }
    Colour TextColour() override { return textColour; }
    void SetTextColour(Colour c) override { textColour = acceptColour(c); }
    bool Opaque() override { return opaque; }
    void SetOpaque(bool o) override { opaque = o; }
    void SetAccessKey(std::string_view key) override { accessKey = std::string(key); }

    const RecordedPaint& Last() const { return paints.back(); }
    std::vector<ButtonPicture> PicturesSince(size_t first) const {
        std::vector<ButtonPicture> pictures;
        for (size_t i = first; i < paints.size(); ++i) {
            pictures.push_back(paints[i].picture.value());
        }
        return pictures;
    }

private:
    RecordedPaint& Current() {
        if (paints.empty()) {
            paints.emplace_back();
        }
        return paints.back();
    }
    void Log(const char* call) { Current().calls.emplace_back(call); }
};

class RecordingEvents : public ButtonEvents {
public:
    std::vector<std::string> changed;
    int clicks = 0;
    std::function<void()> onClick;

    void PropertyChanged(std::string_view name) override { changed.emplace_back(name); }
    void Click() override {
        ++clicks;
        if (onClick) {
            onClick();
        }
    }
};

class FakeContainer : public ButtonContainer {
public:
    std::optional<ButtonFont> ambient = ButtonFont{"Tahoma", 9, 400, false, false, false};
    std::optional<ButtonFont> AmbientFont() override { return ambient; }
};

class RecordingTimer : public ButtonTimer {
public:
    std::vector<int32_t> starts;
    void Start(int32_t intervalMilliseconds) override { starts.push_back(intervalMilliseconds); }
};

class RecordingPropertyBag : public ButtonPropertyBag {
public:
    using Entry = std::variant<Value, ButtonFont>;
    std::map<std::string, Entry, std::less<>> entries;
    std::vector<std::string> unreadable;
    std::vector<std::string> readOrder; // keys in the order they were looked up
    std::vector<std::string> writeOrder;

    bool Contains(std::string_view key) override {
        readOrder.emplace_back(key);
        return entries.find(key) != entries.end() || IsUnreadable(key);
    }
    std::optional<Value> Read(std::string_view key) override {
        auto it = entries.find(key);
        if (it == entries.end() || IsUnreadable(key) ||
            !std::holds_alternative<Value>(it->second)) {
            return std::nullopt;
        }
        return std::get<Value>(it->second);
    }
    std::optional<ButtonFont> ReadFont(std::string_view key) override {
        auto it = entries.find(key);
        if (it == entries.end() || IsUnreadable(key) ||
            !std::holds_alternative<ButtonFont>(it->second)) {
            return std::nullopt;
        }
        return std::get<ButtonFont>(it->second);
    }
    void Write(std::string_view key, const Value& value) override {
        writeOrder.emplace_back(key);
        entries[std::string(key)] = value;
    }
    void WriteFont(std::string_view key, const ButtonFont& font) override {
        writeOrder.emplace_back(key);
        entries[std::string(key)] = font;
    }

    const Value& ValueAt(const std::string& key) const { return std::get<Value>(entries.at(key)); }

private:
    bool IsUnreadable(std::string_view key) const {
        for (const auto& k : unreadable) {
            if (k == key) {
                return true;
            }
        }
        return false;
    }
};

// A button with its doubles, as a container would hold it after loading.
struct ButtonRig {
    RecordingSurface surface;
    RecordingEvents events;
    FakeContainer container;
    RecordingTimer timer;
    Command button{surface, events, container, timer};

    // Created and initialised: enabled, Normal, hover timer running.
    void Ready() {
        button.OnCreate();
        button.Initialize();
        events.changed.clear();
    }
};

} // namespace kt::test

#pragma once
// The screen cursor.
//   setScreenCursor(crHourGlass) / setScreenCursor(crDefault)
//   HourGlass scope; the hourglass for as long as the object lives, even when an
//   exception leaves the scope

namespace fiscal::vcl {

enum TCursor { crDefault, crHourGlass };

void setScreenCursor(TCursor cursor);
TCursor screenCursor();

class HourGlass {
public:
    HourGlass();
    ~HourGlass();
    HourGlass(const HourGlass &) = delete;
    HourGlass &operator=(const HourGlass &) = delete;

private:
    TCursor m_previous;
};

} // namespace fiscal::vcl

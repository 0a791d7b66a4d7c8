// The clock's face, shared by the clock window's page and the browser clock:
// the timecode, the user bits and the frame-rate and status lines, sized to
// fit the window both ways.
//
// The text is as large as fits both the width and the height of the window,
// whatever its shape: a short wide window limits it by height. Every line
// scales with the timecode's font size, so one measurement gives the size
// that fits; a few one-pixel steps then absorb what rounding and hinting
// change. The steps are bounded whatever the layout does, so an area
// narrower than its margin leaves the text at 1px and the fit still ends.
var kClockMargin = 15;

function clockElement(id) {
    return document.getElementById(id);
}

function timecodeFontSize() {
    return parseFloat(getComputedStyle(clockElement('timecode')).fontSize);
}

function setTimecodeFontSize(size) {
    clockElement('timecode').style.fontSize = size + 'px';
    clockElement('stats').style.fontSize = (size / 2.0) + 'px';
    clockElement('userbits').style.fontSize = (size / 2.0) + 'px';
}

// The box of every line shown, as it lies now.
function clockBox() {
    var box = null;
    ['timecode', 'userbits', 'stats'].forEach(function (id) {
        var line = clockElement(id);
        if (getComputedStyle(line).display == 'none') return;
        var r = line.getBoundingClientRect();
        box = box || {top: r.top, bottom: r.bottom, width: 0};
        box.top = Math.min(box.top, r.top);
        box.bottom = Math.max(box.bottom, r.bottom);
        box.width = Math.max(box.width, r.width);
    });
    return {width: box.width, height: box.bottom - box.top};
}

function clockFits(area) {
    var box = clockBox();
    return box.width <= area.width && box.height <= area.height;
}

function fitClock() {
    var area = {
        width: clockElement('timecodearea').clientWidth - kClockMargin,
        height: window.innerHeight - kClockMargin
    };
    var size = 1;
    if (area.width > 0 && area.height > 0) {
        var box = clockBox();
        size = timecodeFontSize();
        if (box.width > 0 && box.height > 0) {
            size = Math.floor(size * Math.min(area.width / box.width, area.height / box.height));
        }
    }
    size = Math.max(1, Math.min(size, 100000));
    setTimecodeFontSize(size);
    for (var down = 0; down < 64 && size > 1 && !clockFits(area); ++down) {
        setTimecodeFontSize(--size);
    }
    for (var up = 0; up < 4 && clockFits(area); ++up) {
        setTimecodeFontSize(size + 1);
        if (!clockFits(area)) break;
        ++size;
    }
    setTimecodeFontSize(size);
}

// What the clock shows besides the value: the digits' colour (none keeps the
// style sheet's), and whether the frame-rate and status lines and the user
// bits are shown.
function showClockLook(color, stats, userBits) {
    if (color != null && color !== '') clockElement('timecode').style.color = color;
    if (!stats) clockElement('stats').style.display = 'none';
    clockElement('userbits').style.display = userBits ? 'block' : 'none';
}

// One value, or part of one: each member present changes its line, as text.
// The user bits come as eight hexadecimal digits, group 1 first.
function showClockValue(tc) {
    if (typeof tc.h != 'undefined') {
        clockElement('timecode').textContent = tc.h + ':' + tc.m + ':' + tc.s + ';' + tc.f;
    }
    if (typeof tc.u != 'undefined') {
        clockElement('userbits').textContent = tc.u;
    }
    if (typeof tc.r != 'undefined') {
        clockElement('timecodestatus').textContent = tc.r;
    }
    if (typeof tc.fps != 'undefined') {
        // No rate is known yet: no line, rather than a unit without a number.
        clockElement('timecodefps').textContent = tc.fps === '' ? '' : tc.fps + ' FPS';
    }
}

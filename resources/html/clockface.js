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
    pinDigitCells();
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
    // The placeholder becomes cells before it is measured, as values will be.
    if (typeof clockShown.timecode == 'undefined') {
        showTimecodeText(clockElement('timecode').textContent);
    }
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
        showTimecodeText(tc.h + ':' + tc.m + ':' + tc.s + ';' + tc.f);
    }
    if (typeof tc.u != 'undefined') {
        showLineText('userbits', tc.u);
    }
    if (typeof tc.r != 'undefined') {
        showLineText('timecodestatus', tc.r);
    }
    if (typeof tc.fps != 'undefined') {
        // No rate is known yet: no line, rather than a unit without a number.
        showLineText('timecodefps', tc.fps === '' ? '' : tc.fps + ' FPS');
    }
}

// Most values change one line at most, and only its last digits: a text that
// is already shown is not written again, and the timecode is one span a
// character, so that a new value repaints the digits that changed and nothing
// else. Every write costs a layout and a repaint of what it touches.
var clockShown = {};

function showLineText(id, text) {
    text = String(text);
    if (clockShown[id] === text) return;
    clockShown[id] = text;
    clockElement(id).textContent = text;
}

function isDigit(c) {
    return c >= '0' && c <= '9';
}

function showTimecodeText(text) {
    text = String(text);
    var timecode = clockElement('timecode');
    var cells = timecode.children;
    var shown = clockShown.timecode;
    var reshaped = typeof shown == 'undefined' || cells.length != text.length;
    for (var k = 0; !reshaped && k < text.length; ++k) {
        reshaped = isDigit(shown[k]) != isDigit(text[k]);
    }
    clockShown.timecode = text;
    if (reshaped) {
        timecode.textContent = '';
        for (var i = 0; i < text.length; ++i) {
            var cell = document.createElement('span');
            cell.appendChild(document.createTextNode(text[i]));
            timecode.appendChild(cell);
        }
        pinDigitCells();
        return;
    }
    for (var j = 0; j < text.length; ++j) {
        if (shown[j] !== text[j]) cells[j].firstChild.data = text[j];
    }
}

// Sizes every digit's cell as the widest digit at the present font size, and
// contains it: a digit that changes then moves nothing around it.
function pinDigitCells() {
    var cells = clockElement('timecode').children;
    var digits = [];
    for (var i = 0; i < cells.length; ++i) {
        cells[i].className = '';
        cells[i].style.width = cells[i].style.height = '';
        if (isDigit(cells[i].textContent)) digits.push(cells[i]);
    }
    if (digits.length == 0) return;
    var probe = digits[0].firstChild, kept = probe.data;
    var width = 0, height = 0;
    for (var d = 0; d <= 9; ++d) {
        probe.data = String(d);
        var box = digits[0].getBoundingClientRect();
        width = Math.max(width, box.width);
        height = Math.max(height, box.height);
    }
    probe.data = kept;
    digits.forEach(function (cell) {
        cell.style.width = width + 'px';
        cell.style.height = height + 'px';
        cell.className = 'digit';
    });
}

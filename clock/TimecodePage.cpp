#include "clock/TimecodePage.h"

namespace {

constexpr const char* kHead =
    R"(<html><head><title>Mirel</title>)"
    R"(<link rel="stylesheet" href="mirel://static/mirel45t.css" type="text/css" media="all">)"
    R"(<script src="mirel://static/jquery.js" type="text/javascript"></script>)"
    R"(</head>)";

constexpr const char* kBody =
    R"(<body>)"
    R"(<div id="timecodearea" style="text-align:center;">)"
    R"(<span id="timecode" style="font-size:10px;">00:00:00.00</span>)"
    R"(</div>)"
    R"(<div id="stats"><div id="timecodefps"></div><div id="timecodestatus">Stopped</div></div>)";

// Both fitting loops walk the font size one pixel at a time and are bounded
// whatever the layout does: the shrinking one never goes below 1px, and the
// growing one never above the usable width, where eleven characters are wider
// than the area in any ordinary font. Either stops as soon as the engine keeps
// the size it had, so a clamped size cannot hold a loop. An area narrower than
// the 15px margin leaves the text at 1px.
constexpr const char* kScript = R"(<script type="text/javascript">
function timecodeFontSize() {
    return parseFloat($('#timecode').css('font-size'));
}

function timecodeStep(by) {
    var before = timecodeFontSize();
    $('#timecode').css('font-size', (before + by) + 'px');
    return timecodeFontSize() != before;
}

function timecodeResizer() {
    var timecode = $('#timecode');
    var usableWidth = $('#timecodearea').width() - 15;
    if (usableWidth < timecode.width()) {
        while (timecode.width() > usableWidth && timecodeFontSize() - 1.0 >= 1.0) {
            if (!timecodeStep(-1.0)) break;
        }
    } else if (usableWidth > timecode.width()) {
        while (timecode.width() < usableWidth && timecodeFontSize() + 1.0 <= usableWidth) {
            if (!timecodeStep(1.0)) break;
        }
    }
    $('#stats').css('font-size', (timecodeFontSize() / 2.0) + 'px');

    if (typeof MirelClock == 'undefined') return;
    if (MirelClock.getPreference('fpsDisplay') == '0') {
        $('#stats').css('display', 'none');
    }
    var textColor = MirelClock.getPreference('TextColor');
    if (textColor != null && textColor !== '') {
        timecode.css('color', textColor);
    }
}

function receiveTimecode(tc) {
    if (typeof tc.h != 'undefined') {
        $('#timecode').text(tc.h + ':' + tc.m + ':' + tc.s + ';' + tc.f);
    }
    if (typeof tc.r != 'undefined') {
        $('#timecodestatus').text(tc.r);
    }
    if (typeof tc.fps != 'undefined') {
        // No rate is known yet: no line, rather than a unit without a number.
        $('#timecodefps').text(tc.fps === '' ? '' : tc.fps + ' FPS');
    }
}

$(window).resize(timecodeResizer);
$(document).ready(timecodeResizer);
</script>)";

constexpr const char* kEnd = "</body></html>";

}  // namespace

std::string timecodePageText() {
    std::string page;
    for (const char* piece : {kHead, kBody, kScript, kEnd}) page += piece;
    return page;
}

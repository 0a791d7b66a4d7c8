// The input in use, for the pages that lead back to its clock: the listed
// input that the "audioInput" setting names. Audio devices are chosen by
// name, so of two devices with one name the first is the one in use, as the
// controller decides; a movie is listed by its escaped path.
function inputInUse(entries, chosen) {
    if (chosen == null || chosen === '' || !$.isArray(entries)) return null;
    for (var i = 0; i < entries.length; ++i) {
        var entry = entries[i];
        if (!entry || typeof entry.u != 'string' || entry.u.indexOf('mirel://') != 0) continue;
        var name = entry.n;
        if (entry.i == 'quicktime') {
            try {
                name = decodeURIComponent(entry.n);
            } catch (e) {
            }
        }
        if (name === chosen) return entry;
    }
    return null;
}

function chosenInput() {
    return typeof MirelClock == 'undefined' ? null : MirelClock.getPreference('audioInput');
}

// The top bar's "Clock" link, there only while an input is in use.
function showClockLink(entry) {
    var link = $('#clock-link');
    if (entry) {
        link.attr('href', entry.u).show();
    } else {
        link.removeAttr('href').hide();
    }
}

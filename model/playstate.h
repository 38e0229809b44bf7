#ifndef PLAYSTATE_H
#define PLAYSTATE_H

// What the output does, as every front end shows it. Stopped or Paused, a
// switch-on goes Starting while its file is read (Playing at once when there
// is nothing to read), then Playing, or back where it was when refused or
// switched off meanwhile; end() goes Ending from any state, for good.
enum class PlayState {
    Stopped,  // off, the next start from the first sample
    Starting, // switched on, its file being read
    Playing,
    Paused,   // off where it paused
    Ending,   // the program ends: no command is taken
};

// On, or about to be: what a switch shows, and SCPI's OUTP?.
constexpr bool switchedOn(PlayState state)
{
    return state == PlayState::Starting || state == PlayState::Playing;
}

#endif // PLAYSTATE_H

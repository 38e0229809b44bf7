// Every option of the program, once, in the order of --help and the manual:
//   ECG_OPTION(name, key, value, reader, accepted, help, manualValue, manual)
// name: --name; key: its key in the settings files (empty: the command line's
// only); value: its value's name in --help; reader: how a value is checked and
// where it goes; accepted: what a refusal says is accepted; help: its line in
// --help; manualValue and manual: its value and its paragraph in the manual
// page (roff). In the texts, %min and %max stand for the reader's bounds.
//
// options.cpp expands the rows into the parser's table. The build reads the
// same rows to write the manual's OPTIONS section (cmake/manualoptions.cmake),
// since a cross build cannot run the program to ask it; hence this file holds
// nothing but rows laid out as these: the name, key, value and reader on the
// row's first line (a number reader's bounds, literals or names from bounds.h, then the check of bounds.h that it calls), the
// manual's value and paragraph as raw strings R"(...)" and R"man(...)man".
// clang-format off

ECG_OPTION("rate", "rate", "HZ", number(&OutputSettings::sampleRate, minSampleRate, maxSampleRate, rateRefusal),
    "un nombre d'échantillons par seconde de %min à %max (par exemple 360 ou 359.5)",
    "Cadence de sortie, en échantillons par seconde (au plus %max), sur une horloge exacte. Sans elle : une pause "
    "de 2 ms après chaque trame.",
    R"(hz)", R"man(Send
.I hz
samples per second on the exact clock: a decimal number above 0 and at most
%max (for example 360 or 359.5).
At 100\ kHz a frame takes 240\ \(mcs on the wire; a period of 500\ \(mcs
leaves as much again for the wake\-up and the loop.)man")

ECG_OPTION("device", "device", "PATH", text(&OutputSettings::devicePath),
    "le chemin d'un périphérique spidev (par exemple /dev/spidev0.1)",
    "Périphérique spidev du DAC (par défaut /dev/spidev0.0).",
    R"(path)", R"man(The DAC's spidev device, by default
.IR /dev/spidev0.0 ;
a DAC on chip select 1 is
.IR /dev/spidev0.1 .)man")

ECG_OPTION("signal", "signal", "N|LABEL", text(&OutputSettings::signal),
    "le numéro d'un signal, à partir de 1, ou son nom (par exemple MLII)",
    "Signal d'un enregistrement (WFDB, EDF) à jouer : son numéro, à partir de 1, ou son nom (par défaut le "
    "premier).",
    R"(n\fR|\fIlabel)", R"man(The signal of a record to play: its number, from 1, or its label, compared
without case and surrounding blanks; by default the first.
In the window, a record of several signals asks which one, with this one
proposed.)man")

ECG_OPTION("full-scale", "full-scale", "MV", number(&OutputSettings::fullScaleMv, minFullScaleMv, maxFullScaleMv, fullScaleRefusal),
    "un nombre de millivolts de %min à %max (par exemple 10 ou 5)",
    "Enregistrements seulement : les millivolts qui couvrent toute la plage du DAC, 0 mV au milieu (par défaut 10, "
    "au plus %max). Les fichiers CSV sont envoyés tels quels.",
    R"(mv)", R"man(Records only: the millivolts that span the DAC's whole range, 0\ mV at
mid\-scale; a number above 0 and at most %max, by default 10.
Sample files are sent as they are.)man")

ECG_OPTION("annotations", "annotations", "EXT", annotator(),
    "l'extension d'un fichier d'annotations WFDB, lettres, chiffres ou _ (par exemple atr), ou none",
    "Enregistrements seulement : les annotations montrées sur le tracé, du fichier d'extension EXT à côté d'un "
    "enregistrement WFDB, ou celles d'un fichier EDF+ (par défaut atr ; none : aucune).",
    R"(ext)", R"man(Records only: the annotations shown on the chart, read with a WFDB record from
the file beside its header of extension
.I ext
(letters, digits or _; by default
.BR atr :
.I 100.atr
for
.IR 100.hea ),
or an EDF+ file's own;
.B none
reads none.
A record without that file plays as it is; a file that cannot be read is named
in a warning and the record plays without its annotations.)man")

ECG_OPTION("sync-gpio", "sync-gpio", "PUCE:LIGNE", gpioLine(&OutputSettings::syncLine),
    "PUCE:LIGNE, une puce GPIO (nom, numéro, chemin ou étiquette) et le numéro d'une de ses lignes (par exemple "
    "gpiochip0:17)",
    "Une impulsion sur cette ligne GPIO juste après la trame de chaque battement annoté (par exemple gpiochip0:17, "
    "la GPIO17 du Pi).",
    R"(chip\fR:\fIline)", R"man(Raise this GPIO line (through the kernel's GPIO character device) right after
the frame of each beat annotation has gone to the DAC, for a scope, a counter
or a monitor test rig: the chip by name, number, path or label, and the line's
offset on it
.RB ( gpiochip0:17
is the Pi's GPIO17).
A line that cannot be requested is refused at start: the headless mode ends
with status 2, the window says why and plays without it.)man")

ECG_OPTION("sync-width", "sync-width", "MS", number(&OutputSettings::syncWidthMs, minSyncWidthMs, maxSyncWidthMs, syncWidthRefusal),
    "un nombre de millisecondes de %min à %max (par exemple 10)",
    "Durée de l'impulsion (par défaut 10), toujours finie avant la trame suivante.",
    R"(ms)", R"man(How long the line stays high, from %min to %max, by default 10; a pulse always
ends before the next frame, so at 360 samples per second it lasts at most a
period, about 2.7\ ms.)man")

ECG_OPTION("sync-on", "sync-on", "beats|loop|both", syncOn(),
    "beats, loop ou both",
    "Les trames marquées d'une impulsion : celles des battements (beats, par défaut), la première de chaque boucle "
    "(loop) ou les deux (both).",
    R"(\fBbeats\fR|\fBloop\fR|\fBboth)", R"man(The frames that raise the line: each beat annotation's (the default), the
first of each loop, or both.)man")

ECG_OPTION("beat-log", "beat-log", "FILE", text(&OutputSettings::beatLogPath),
    "le chemin d'un fichier où ajouter les battements envoyés",
    "Ajoute à FILE une ligne par battement envoyé : temps CLOCK_MONOTONIC et CLOCK_REALTIME en secondes, boucle, "
    "échantillon, étiquette, canal.",
    R"(file)", R"man(Append to
.I file
(a regular file, or none yet: a FIFO, device or directory is refused at
start) a line per beat annotation sent:
.RI "\(dq" monotonic " " realtime " " loop " " sample " " label " " channel "\(dq" ,
the two times in seconds with microseconds on CLOCK_MONOTONIC and
CLOCK_REALTIME, taken as the frame's transfer ends, and the annotation's
channel; lines starting with
.B #
are comments, among them a
.B # d\('epart
line at each switch\-on, and whenever the file, signal, rate or full scale
changes while on, naming the real time and what plays.
A thread of its own writes and flushes it at least twice a second, so that
the disk never delays a frame.
A file that cannot be written is refused at start, as a sync line.)man")

ECG_OPTION("detect-gpio", "detect-gpio", "PUCE:LIGNE", gpioLine(&OutputSettings::detectLine),
    "PUCE:LIGNE, une puce GPIO (nom, numéro, chemin ou étiquette) et le numéro d'une de ses lignes (par exemple "
    "gpiochip0:27)",
    "Les détections QRS d'un moniteur, en impulsions sur cette ligne GPIO, placées sur les échantillons envoyés, "
    "écrites et comparées aux battements de l'enregistrement.",
    R"(chip\fR:\fIline)", R"man(Take a monitor's QRS detections (its sync or QRS trigger output, through a
level shifter) as edges of this GPIO input line, on a thread of its own: each
is placed on the record's sample whose frame went out last before it, and
scored beat by beat against the record's beats (see
.BR "Scoring a monitor" ).
A line that cannot be requested is refused at start as the sync line is.)man")

ECG_OPTION("detect-edge", "detect-edge", "rising|falling", detectEdge(),
    "rising ou falling",
    "Le front qui marque une détection : montant (rising, par défaut) ou descendant (falling).",
    R"(\fBrising\fR|\fBfalling)", R"man(The edge of the detection line that marks a detection: rising (the
default) or falling.)man")

ECG_OPTION("detect-output", "detect-output", "DIR", folder(&OutputSettings::detectFolder),
    "un dossier existant",
    "Le dossier des fichiers de détections de chaque passage (par défaut le dossier de travail).",
    R"(dir)", R"man(The folder that each pass's detection files go to, by default the working
folder.)man")

ECG_OPTION("detect-annotator", "detect-annotator", "NOM", annotatorName(&OutputSettings::detectAnnotator),
    "lettres, chiffres ou _ (par exemple det)",
    "L'annotateur des fichiers de détections (par défaut det : 100.det).",
    R"(name)", R"man(The annotator that names the detection files, by default
.BR det :
.I 100.det
for record 100's first pass,
.IR 100.det2 ,
.I 100.det3
for the next ones.)man")

ECG_OPTION("score-from", "score-from", "SECONDES", number(&OutputSettings::scoreFromSeconds, 0, maxScoreFromSeconds, scoreFromRefusal),
    "un nombre de secondes de %min à %max",
    "Les battements des SECONDES premières secondes d'un passage sont l'apprentissage du moniteur, hors score (par "
    "défaut 300).",
    R"(seconds)", R"man(The beats of a pass's first
.I seconds
are the monitor's learning period, left out of the score: by default 300 (five
minutes, as AAMI EC57 has it); 0 scores from the first beat.)man")

ECG_OPTION("play", "", "FILE", text(&CommandLine::playFile),
    "le chemin d'un fichier d'échantillons",
    "Sans fenêtre ni écran : envoie FILE en boucle depuis son premier échantillon jusqu'à SIGINT ou SIGTERM ; "
    "SIGHUP le relit.",
    R"(file)", R"man(Stream
.I file
without a window until
.B SIGINT
or
.B SIGTERM
(see
.BR "Headless mode" ).)man")

ECG_OPTION("once", "once", "", flag(&OutputSettings::once),
    "rien, ou true ou false dans un fichier de réglages",
    "Chaque enregistrement joué une fois, de son premier échantillon à sa fin, puis sa dernière valeur tenue "
    "--pad secondes, puis la sortie arrêtée (sans fenêtre : le programme finit).",
    R"()", R"man(Play each record once, from its first sample to its end, then hold its last
value for
.B \-\-pad
seconds and switch the output off, as AAMI EC57 plays a database record; the
headless mode then ends with status 0. In a settings file:
.BR "once=true" .)man")

ECG_OPTION("pad", "pad", "SECONDES", number(&OutputSettings::padSeconds, 0, maxPadSeconds, padRefusal),
    "un nombre de secondes de %min à %max",
    "Avec --once : les secondes de la dernière valeur tenue après la fin (par défaut 5).",
    R"(seconds)", R"man(With
.BR \-\-once :
how long the record's last value is held after its end, from %min to %max
seconds, by default 5, for a monitor's last detection to come.)man")

ECG_OPTION("playlist", "", "FILE", text(&CommandLine::playlistFile),
    "le chemin d'une liste d'enregistrements, ou d'un dossier",
    "Sans fenêtre : joue une fois chaque enregistrement de FILE (un chemin par ligne) ou du dossier FILE, tour à "
    "tour, puis finit.",
    R"(file)", R"man(Without a window, play each record of
.I file
once
.RB ( \-\-once ),
in turn, then end with status 0:
.I file
lists a record's path a line (relative to its folder; blank lines and lines
starting with
.B #
are skipped), or is a folder, whose WFDB headers and EDF and BDF files play in
name order (see
.BR "Scoring a monitor" ).)man")

ECG_OPTION("listen", "listen", "[ADRESSE:]PORT", listenAddress(),
    "[ADRESSE:]PORT, un port de 1 à 65535 (par exemple 5025 ou 0.0.0.0:5025)",
    "Commandes SCPI par TCP sur ce port (par défaut de 127.0.0.1 seulement), sans authentification : quiconque "
    "atteint le port commande la sortie.",
    R"(\fR[\fIaddress\fR:]\fIport)", R"man(Answer SCPI commands on this TCP port (see
.BR "Remote control" ),
of 127.0.0.1 only unless an address is given.
SCPI has no authentication: whoever reaches the port controls the output and
chooses the files read; on another address than loopback the log warns of it.)man")

ECG_OPTION("scpi-idle", "scpi-idle", "SECONDES", wholeNumber(&CommandLine::scpiIdleSeconds, 1, 86400),
    "un nombre entier de secondes de %min à %max (par exemple 600)",
    "Ferme un client SCPI resté muet tant de secondes (par défaut 600), pour libérer sa place.",
    R"(seconds)", R"man(Close a SCPI client that has sent nothing for this long, a whole number from
%min to %max (by default 600), so that forgotten connections free their place.)man")

ECG_OPTION("remote-files", "remote-files", "DIR[:DIR...]", folders(&OutputSettings::remoteFolders),
    "des chemins de dossiers existants séparés par : (par exemple /srv/ecg:/home/pi/ecg)",
    "Les seuls dossiers où SCPI et MPRIS choisissent les fichiers lus (par défaut les échantillons installés et le "
    "dossier du fichier donné au départ).",
    R"(dir\fR[:\fIdir\fR...])", R"man(The folders, existing ones separated by colons, that SCPI's FILE and MPRIS's
OpenUri may choose files from (by default the installed samples and the folder
of
.BR \-\-play 's
file): a file, and a record's signal file, must be inside one of them once
its links are resolved; files of /proc, /sys and the like are refused.)man")

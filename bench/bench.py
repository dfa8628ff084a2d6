"""The figures of bench.sh, which sets the environment this reads. Every figure is a median of
BENCH_RUNS runs, taken side by side with its anchor (and with the baseline build, if any) in
alternating order, so that the load of a shared machine falls on both alike."""
import json, os, random, resource, shutil, statistics, subprocess, time

root, build, work = os.environ['MINISTUB_ROOT'], os.environ['MINISTUB_BUILD'], os.environ['BENCH_WORK']
figures = os.environ['BENCH_FIGURES'].split()
runs = int(os.environ['BENCH_RUNS'])
baseline = os.environ.get('BENCH_BASELINE', '')
prefix = os.path.join(build, 'wineprefix')
runner = [os.path.join(root, 'scripts', 'wine-run.sh'), '--prefix', prefix]
# Timed runs call Wine directly (its environment comes from bench.sh), without the runner's lock
# and server checks: the runner only makes and warms the prefix.
os.environ['WINEPREFIX'] = prefix
wine = ['wine']
builder = os.path.join(build, 'tools', 'ministub-build', 'ministub-build.exe')
bench_exe = os.path.join(build, 'bench', 'ExtractBench.exe')
dictionary_mb = 16

# The builds measured: ours, and the baseline's programs when given.
builds = [('this build', os.path.join(build, 'stub', 'MiniStub.exe'), bench_exe)]
if baseline:
    builds.append(('baseline', os.path.join(baseline, 'MiniStub.exe'), os.path.join(baseline, 'ExtractBench.exe')))


def win(path):
    return 'Z:' + os.path.abspath(path).replace('/', '\\')


def run(cmd, check=True):
    """Runs a command; returns (wall seconds, peak RSS in bytes of the largest child, stdout)."""
    # Output goes to files: Wine's desktop process, started by a program's first window,
    # inherits the program's handles, and a pipe would stay open until it ends.
    before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    with open(os.path.join(work, 'out.txt'), 'w+') as out, open(os.path.join(work, 'err.txt'), 'w+') as err:
        start = time.perf_counter()
        code = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=out, stderr=err).returncode
        wall = time.perf_counter() - start
        out.seek(0)
        err.seek(0)
        text, error = out.read(), err.read()
    if check and code != 0:
        raise SystemExit(f'{" ".join(cmd[:3])} failed ({code}): {error.strip()}')
    after = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    return wall, max(after, before) * 1024, text


def fields(text):
    return dict(line.strip().split('=', 1) for line in text.splitlines() if '=' in line)


def seven_zip(folder, archive, *switches):
    subprocess.run(['7zz', 'a', '-t7z', archive, '.'] + list(switches), cwd=folder, check=True,
                   stdout=subprocess.DEVNULL)


def drive_c(*parts):
    return os.path.join(prefix, 'drive_c', *parts)


# An installer of a product whose engine does nothing: the sample engine with an empty manifest.
def make_installer(name, stub, silo, extra_files=None):
    src = os.path.join(work, name)
    package = os.path.join(src, 'install', 'InstallPackage')
    os.makedirs(package)
    shutil.copy(os.path.join(build, 'samples', 'engine', 'engine.dll'), package)
    with open(os.path.join(package, 'Install.mft'), 'w', newline='\r\n') as f:
        f.write('[Product]\nName=Bench Product\nTarget=%ProgramFiles%\\Bench Product\n\n[Files]\n')
    if extra_files:
        extra_files(package)
    ui = os.path.join(src, 'ui')
    os.makedirs(ui)
    shutil.copy(os.path.join(build, 'samples', 'installui', 'InstUI.dll'), ui)
    seven_zip(ui, os.path.join(src, 'ui.7z'))
    seven_zip(os.path.join(src, 'install'), os.path.join(src, 'install.7z'), f'-m0=LZMA:d={dictionary_mb}m',
              '-mf=BCJ2')
    with open(os.path.join(src, 'settings.txt'), 'w', newline='\r\n') as f:
        f.write(f'0 = wstring:BENCH\n1 = dword:1\n2 = dword:0\n3 = dword:0\n4 = dword:0\n9 = wstring:{silo}\n'
                '18 = wstring:Software\\Korvanta\\Isolation\n')
    installer = os.path.join(src, 'app', 'Setup.exe')
    os.makedirs(os.path.dirname(installer))
    run(runner + [builder, 'pack', '--stub', win(stub),
                  '--ui-package', win(os.path.join(src, 'ui.7z')) + '=QDX-TRRootuiPackage.7z',
                  '--install-package', win(os.path.join(src, 'install.7z')) + '=QDX-TRRootInstallPackage.7z',
                  '--settings', win(os.path.join(src, 'settings.txt')), '--out', win(installer)])
    return installer, os.path.join(src, 'install.7z')


def remove_cache(silo):
    for folder in ('Program Files', 'Program Files (x86)'):
        shutil.rmtree(drive_c(folder, 'VelmorInstaller', silo), ignore_errors=True)


def silo_of(index, figure):
    return '{5D1E7A00-0DE1-4C0D-9E11-BE%02d%08d}' % (index, figure)


def ratio_line(label, value, anchor_label, goal):
    print(f'   {label:<28} {value:7.3f}  ({anchor_label}; goal {goal})')


def figure_size():
    image = os.environ['BENCH_IMAGE']
    print('== shipped stub size (stripped 32-bit MiniStub.exe; goal <= 460,800 bytes = 450 KB)')
    print(f'   this build                   {os.path.getsize(image):9,d} bytes  ({image})')
    old = os.path.join(baseline, 'MiniStub-i686.exe') if baseline else ''
    if old and os.path.exists(old):
        print(f'   baseline                     {os.path.getsize(old):9,d} bytes  '
              f'(ratio {os.path.getsize(image) / os.path.getsize(old):.3f})')


def make_dll_payload(folder, limit_mb):
    dlls = '/usr/lib/i386-linux-gnu/wine/i386-windows'
    if not os.path.isdir(dlls):
        dlls = '/usr/lib/x86_64-linux-gnu/wine/x86_64-windows'
    os.makedirs(os.path.join(folder, 'bin'))
    total = 0
    for name in sorted(os.listdir(dlls)):
        path = os.path.join(dlls, name)
        if not os.path.isfile(path):
            continue
        shutil.copy(path, os.path.join(folder, 'bin'))
        total += os.path.getsize(path)
        if total >= limit_mb * 2**20:
            break


def figure_extract():
    # Wine's own share of memory: the same program doing nothing.
    noop_peak = int(fields(run(wine + [bench_exe, '--noop'])[2])['peak_working_set'])
    ui = os.path.join(work, 'extract-ui')
    os.makedirs(ui)
    with open(os.path.join(ui, 'title.txt'), 'w') as f:
        f.write('bench\r\n')
    seven_zip(ui, os.path.join(work, 'ui.7z'))
    for size in (40, 80):
        payload = os.path.join(work, f'payload{size}')
        make_dll_payload(payload, size)
        layout = os.path.join(work, f'layout{size}.7z')
        seven_zip(payload, layout, f'-m0=LZMA:d={dictionary_mb}m', '-mf=BCJ2')
        installers = []
        for index, (name, stub, program) in enumerate(builds):
            installer = os.path.join(work, f'installer{size}-{index}.exe')
            run(runner + [builder, 'pack', '--stub', win(stub), '--ui-package', win(os.path.join(work, 'ui.7z')),
                          '--layout', win(layout), '--out', win(installer)])
            installers.append(installer)
        native, ours, peaks, same = [], [[] for _ in builds], [0 for _ in builds], True
        out_native = os.path.join(work, 'native')
        for _ in range(runs):
            shutil.rmtree(out_native, ignore_errors=True)
            native.append(run(['7zz', 'x', '-y', '-bd', '-o' + out_native, layout])[0])
            for index, (name, stub, program) in enumerate(builds):
                out = os.path.join(work, f'ours{index}')
                shutil.rmtree(out, ignore_errors=True)
                f = fields(run(wine + [program, win(installers[index]), win(out)])[2])
                ours[index].append(float(f['seconds']))
                peaks[index] = max(peaks[index], int(f['peak_working_set']))
                bytes_out = int(f['bytes'])
                diff = subprocess.run(['diff', '-r', out_native, os.path.join(out, 'layout')],
                                      stdout=subprocess.DEVNULL)
                same = same and diff.returncode == 0
        mb = bytes_out / 1e6
        print(f'== extraction of {mb:.1f} MB from {os.path.getsize(layout) / 1e6:.1f} MB '
              f'(LZMA d={dictionary_mb}m + BCJ2), medians of {runs}')
        print(f'   7zz x (native)               {mb / statistics.median(native):7.1f} MB/s')
        for index, (name, _, _) in enumerate(builds):
            seconds = statistics.median(ours[index])
            print(f'   {name + " under Wine":<28} {mb / seconds:7.1f} MB/s')
            ratio_line(f'{name}: throughput ratio', statistics.median(native) / seconds, 'to 7zz x', '>= 0.95')
            extra = (peaks[index] - noop_peak) / 2**20
            print(f'   {name + ": peak memory":<28} {extra:7.1f} MB above a do-nothing process '
                  f'(goal <= {dictionary_mb + 8} MB)')
        print(f'   output identical to 7zz      {"yes" if same else "NO"}')


def figure_startup():
    installers = []
    for index, (name, stub, _) in enumerate(builds):
        silo = silo_of(index, 3)
        remove_cache(silo)
        installer, _ = make_installer(f'startup{index}', stub, silo)
        run(wine + [installer, '/qn'])   # fills the cache
        installers.append((installer, silo))
    # A run takes a tenth of a second and Wine's process start alone varies by half of that:
    # many more runs than the long figures take.
    count = max(runs, 25)
    trivial, reruns = [], [[] for _ in builds]
    for _ in range(count):
        trivial.append(run(wine + [bench_exe, '--noop'])[0])
        for index, (installer, _) in enumerate(installers):
            reruns[index].append(run(wine + [installer, '/x', '/qn'])[0])
    anchor = statistics.median(trivial)
    print(f'== quiet re-run over a complete cache (/x /qn, engine does nothing), medians of {count}')
    print(f'   trivial console program      {anchor * 1000:7.0f} ms')
    for index, (name, _, _) in enumerate(builds):
        seconds = statistics.median(reruns[index])
        print(f'   {name:<28} {seconds * 1000:7.0f} ms')
        ratio_line(f'{name}: ratio', seconds / anchor, 'to the trivial program', '<= 1.5')
    for _, silo in installers:
        remove_cache(silo)


def small_files(package):
    rng = random.Random(23)
    words = [''.join(rng.choice('abcdefghijklmnopqrstuvwxyz') for _ in range(rng.randint(2, 9)))
             for _ in range(4000)]
    for n in range(10000):
        folder = os.path.join(package, 'files', 'd%03d' % (n // 100))
        os.makedirs(folder, exist_ok=True)
        size = rng.randint(1024, 8192)
        text = []
        length = 0
        while length < size:
            word = rng.choice(words)
            text.append(word)
            length += len(word) + 1
        with open(os.path.join(folder, 'f%05d.txt' % n), 'w') as f:
            f.write(' '.join(text)[:size])


def quiet_installs(tag, figure, payload):
    """Quiet installs from a fresh cache of each build's installer of payload, side by side with
    7zz x of the same archive. Returns the archive, the unpacked bytes, 7zz's median and ours."""
    installers, archive = [], None
    for index, (name, stub, _) in enumerate(builds):
        silo = silo_of(index, figure)
        installer, archive = make_installer(f'{tag}{index}', stub, silo, payload)
        installers.append((installer, silo))
    native, ours = [], [[] for _ in builds]
    out_native = os.path.join(work, f'{tag}-native')
    for _ in range(runs):
        shutil.rmtree(out_native, ignore_errors=True)
        native.append(run(['7zz', 'x', '-y', '-bd', '-o' + out_native, archive])[0])
        for index, (installer, silo) in enumerate(installers):
            remove_cache(silo)
            ours[index].append(run(wine + [installer, '/qn'])[0])
    unpacked = sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(out_native) for f in fs)
    for _, silo in installers:
        remove_cache(silo)
    shutil.rmtree(out_native, ignore_errors=True)
    return archive, unpacked, statistics.median(native), [statistics.median(times) for times in ours]


def figure_smallfiles():
    _, unpacked, anchor, ours = quiet_installs('small', 5, small_files)
    print(f'== quiet install of 10,000 small files ({unpacked / 1e6:.1f} MB, 1-8 KB each), medians of {runs}')
    print(f'   7zz x (native)               {anchor:7.2f} s')
    for index, (name, _, _) in enumerate(builds):
        seconds = ours[index]
        print(f'   {name + " (whole install)":<28} {seconds:7.2f} s  '
              f'({(seconds - anchor) * 1000 / 10000:.3f} ms more per file)')
        ratio_line(f'{name}: ratio', seconds / anchor, 'to 7zz x', '<= 1.5')


def figure_large():
    # A package of 258 MB of programs, installed quietly from a fresh cache, against 7zz x of the
    # same archive; the engine does nothing, so the figure is the unpacking and its checks.
    archive, unpacked, anchor, ours = quiet_installs('large', 7, lambda package: make_dll_payload(package, 258))
    print(f'== quiet install of a {unpacked / 1e6:.0f} MB package ({os.path.getsize(archive) / 1e6:.0f} MB packed, '
          f'LZMA d={dictionary_mb}m + BCJ2), medians of {runs}')
    print(f'   7zz x (native)               {anchor:7.2f} s')
    for index, (name, _, _) in enumerate(builds):
        seconds = ours[index]
        print(f'   {name + " (whole install)":<28} {seconds:7.2f} s')
        ratio_line(f'{name}: ratio', seconds / anchor, 'to 7zz x', '<= 1.05')


def make_source(folder):
    """40 programs, 200 texts and 1 MB of random bytes, the same on every run."""
    rng = random.Random(41)
    dlls = '/usr/lib/i386-linux-gnu/wine/i386-windows'
    if not os.path.isdir(dlls):
        dlls = '/usr/lib/x86_64-linux-gnu/wine/x86_64-windows'
    programs = [n for n in sorted(os.listdir(dlls)) if n.endswith('.dll') and os.path.getsize(os.path.join(dlls, n)) > 65536]
    os.makedirs(os.path.join(folder, 'bin'))
    for name in programs[::max(1, len(programs) // 40)][:40]:
        shutil.copy(os.path.join(dlls, name), os.path.join(folder, 'bin'))
    words = [''.join(rng.choice('abcdefghijklmnopqrstuvwxyz') for _ in range(rng.randint(2, 9))) for _ in range(3000)]
    os.makedirs(os.path.join(folder, 'docs'))
    for n in range(200):
        with open(os.path.join(folder, 'docs', 'doc%03d.txt' % n), 'w') as f:
            f.write(' '.join(rng.choice(words) for _ in range(rng.randint(300, 6000))))
    with open(os.path.join(folder, 'random.bin'), 'wb') as f:
        f.write(rng.randbytes(2**20))


def figure_make():
    source = os.path.join(work, 'make-source')
    make_source(os.path.join(source, 'install'))
    os.makedirs(os.path.join(source, 'ui'))
    shutil.copy(os.path.join(build, 'samples', 'installui', 'InstUI.dll'), os.path.join(source, 'ui'))
    product = os.path.join(source, 'product.ini')
    with open(product, 'w', newline='\r\n') as f:
        f.write('[installer]\nstub = ${stub}\n[payload]\nui-package = ui\ninstall-package = install\n'
                '[settings]\nproduct = BENCH\nversion = 1.0.0.0\n'
                'isolation = {5D1E7A00-0DE1-4C0D-9E11-BE0000000009}\nisolation-root = Software\\Korvanta\\Isolation\n')
    makers = [('this build', builder)]
    if baseline and os.path.exists(os.path.join(baseline, 'ministub-build.exe')):
        makers.append(('baseline', os.path.join(baseline, 'ministub-build.exe')))
    stub = os.path.join(build, 'stub', 'MiniStub.exe')
    native, small_pages, ours, sizes = [], [], [[] for _ in makers], [0 for _ in makers]
    archive = os.path.join(work, 'make-7zz.7z')
    for _ in range(runs):
        for times, switches in ((small_pages, ['-slp-']), (native, [])):
            if os.path.exists(archive):
                os.remove(archive)
            times.append(timed_7zz(os.path.join(source, 'install'), archive, *switches))
        for index, (name, maker) in enumerate(makers):
            out = os.path.join(work, f'made{index}.exe')
            seconds, _, text = run(wine + [maker, 'make', win(product), '--define', 'stub=' + win(stub),
                                           '--out', win(out), '--json'])
            ours[index].append(seconds)
            report = json.loads(text[text.index('{'):])
            sizes[index] = next(e['bytes'] for e in report['entries'] if e['name'] == 'QDX-TRRootInstallPackage.7z')
    anchor, packed = statistics.median(native), os.path.getsize(archive)
    small_pages_anchor = statistics.median(small_pages)
    print(f'== make of 40 programs, 200 texts and 1 MB of random bytes, medians of {runs}')
    print(f'   7zz a -m0=LZMA -mf=BCJ2      {anchor:7.2f} s  {packed:11,d} bytes')
    # Natively, 7zz asks Linux for huge pages for its match finder's tables; a Windows program
    # gets them only with the lock-pages privilege (Wine has none), and -slp- is 7zz without them.
    print(f'   ... with -slp- (4 KB pages)  {small_pages_anchor:7.2f} s')
    for index, (name, _) in enumerate(makers):
        seconds = statistics.median(ours[index])
        print(f'   {name + " (whole make)":<28} {seconds:7.2f} s  {sizes[index]:11,d} bytes (install package)')
        ratio_line(f'{name}: time ratio', seconds / anchor, 'to 7zz a', '<= 1.0')
        print(f'   {name + ": time vs -slp-":<28} {seconds / small_pages_anchor:7.3f}  (to 7zz a -slp-)')
        ratio_line(f'{name}: size ratio', sizes[index] / packed, 'to 7zz a', '<= 1.0')


def timed_7zz(folder, archive, *switches):
    start = time.perf_counter()
    subprocess.run(['7zz', 'a', '-t7z', '-m0=LZMA', '-mf=BCJ2', '-bd', *switches, archive, '.'], cwd=folder,
                   check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def file_creation_cost():
    """Microseconds to create, write and close one small file in the work folder, natively:
    the floor under every extracted file of both sides. Some disks (or what watches them) make
    a new file cost 20 times what it costs elsewhere on the same machine; the small-files figure
    then measures that, for Wine's server, which makes each file, more than for 7zz."""
    folder = os.path.join(work, 'create-probe')
    os.makedirs(folder)
    count = 500
    start = time.perf_counter()
    for n in range(count):
        with open(os.path.join(folder, 'f%d' % n), 'wb') as f:
            f.write(b'x' * 64)
    seconds = time.perf_counter() - start
    shutil.rmtree(folder)
    return seconds * 1e6 / count


creation = file_creation_cost()
print(f'== a new file costs {creation:.0f} us in {work}')
if creation > 100:
    print('   (slow: file creation there dominates the small-files figure and inflates the installs;\n'
          '    take the figures with a BUILD_DIR on another disk or folder)')
subprocess.run(runner + ['--stop'], check=True)
run(runner + ['cmd', '/c', 'exit', '0'])   # makes the prefix and starts its server
# A Windows session always has its desktop; Wine starts its desktop process with the first window
# of a session and ends it with the last (a quiet install's hidden window would otherwise wait
# some 200 ms for it on every run). A window that stays open for the whole bench keeps it up.
desktop_keeper = subprocess.Popen(wine + ['notepad.exe'], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
for figure in figures:
    {'size': figure_size, 'extract': figure_extract, 'large': figure_large, 'smallfiles': figure_smallfiles,
     'make': figure_make, 'startup': figure_startup}[figure]()
subprocess.run(runner + ['--stop'], check=True)   # ends the notepad as well
desktop_keeper.wait()

#!/usr/bin/env python3
"""Injects one-line faults into the product one at a time and runs the tests against each.
The <area>.txt files here are the faults the suite was slimmed against; <area>.before.tsv /
<area>.after.tsv are what the suite before and after its slimming caught. Usage:
  mutate.py <worktree> <mutants-file> <out.tsv> --build '<build command>' -- <shell command that runs tests>
mutants-file: blocks separated by a line '===', each block:
  id: <short id>
  file: <path relative to worktree>
  old: <exact text, one line, must occur exactly once in file>
  new: <replacement text>
The command is run with cwd=<worktree> after applying each mutant; exit status 0
means the mutant SURVIVED, nonzero means CAUGHT. The file is restored after each.
A mutant that does not build counts as bad-mutant, never as caught.
Output TSV: id <tab> caught|survived|bad-mutant <tab> the first failing lines.
"""
import sys,subprocess,os,re
wt,mf,out=sys.argv[1],sys.argv[2],sys.argv[3]
cmd=' '.join(sys.argv[sys.argv.index('--')+1:])
build=sys.argv[sys.argv.index('--build')+1]
# A block ends at a line that is exactly '===': a value may itself end in '=' (an "==" comparison).
blocks=[b for b in re.split(r'^===[ \t]*$',open(mf).read(),flags=re.M) if b.strip()]
res=[]
for b in blocks:
    d={}
    for line in b.strip('\n').split('\n'):
        if ':' in line:
            k,v=line.split(':',1); d[k.strip()]=v[1:] if v.startswith(' ') else v
    p=os.path.join(wt,d['file']); src=open(p,encoding='utf-8').read()
    if src.count(d['old'])!=1:
        res.append((d['id'],'bad-mutant',f"old text occurs {src.count(d['old'])} times")); print(res[-1],flush=True); continue
    open(p,'w',encoding='utf-8').write(src.replace(d['old'],d['new']))
    try:
        bb=subprocess.run(build,shell=True,cwd=wt,capture_output=True,text=True,errors='replace')
        if bb.returncode:
            res.append((d['id'],'bad-mutant','does not build')); print(res[-1],flush=True); continue
        r=subprocess.run(cmd,shell=True,cwd=wt,capture_output=True,text=True,errors='replace',timeout=1200)
        tail=' | '.join([l for l in (r.stdout+r.stderr).splitlines() if 'FAILED' in l or 'error' in l.lower()][:4])
        res.append((d['id'],'caught' if r.returncode else 'survived',tail[:400]))
    except subprocess.TimeoutExpired:
        res.append((d['id'],'caught(timeout)',''))
    finally:
        open(p,'w',encoding='utf-8').write(src)
        os.utime(p)
    print(res[-1],flush=True)
with open(out,'w') as f:
    for r in res: f.write('\t'.join(r)+'\n')

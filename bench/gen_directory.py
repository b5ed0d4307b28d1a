#!/usr/bin/env python3
"""Generates large directories as LDIF: N users spread over nested organisational units.

  gen_directory.py slapd --users 10000 [--base o=corp] [--root] [--groups] > corp.ldif
      slapadd-able entries for an OpenLDAP tree: inetOrgPerson users named uid=...,
      cleartext userPassword (so DIGEST-MD5 works), organizationalUnit departments and,
      with --groups, one groupOfNames per leaf department. Without --root the suffix entry
      itself is left out (the slapd fixture creates it).
  gen_directory.py samba --users 5000 [--base DC=corp,DC=example,DC=com] > users.ldif
      ldapadd-able entries for a Samba AD domain: user objects with sAMAccountName and
      userAccountControl 544 (normal account, no password required), so that the domain
      does not hash 5,000 passwords and every user is importable.

Options --seed and --prefix vary the names; the same arguments always give the same bytes.
Each user's password (slapd) is "pw-" followed by its uid.
"""

import argparse
import base64
import math
import random
import sys

SURNAMES = "王李张刘陈杨黄赵吴周徐孙马朱胡郭何高林罗郑梁谢宋唐许韩冯邓曹彭曾肖田董袁潘于蒋蔡余杜叶程苏魏吕丁任沈姚卢姜崔钟谭陆汪范金石廖贾夏韦付方白邹孟熊秦邱江尹薛闫段雷侯龙史陶黎贺顾毛郝龚邵万钱严覃武戴莫孔向汤"
GIVEN = ["伟", "芳", "娜", "敏", "静", "丽", "强", "磊", "军", "洋", "勇", "艳", "杰", "娟",
         "涛", "明", "超", "秀英", "霞", "平", "刚", "桂英", "建华", "文", "华", "红", "晓东",
         "志强", "海燕", "春梅"]
FIRST = ["James", "Mary", "John", "Patricia", "Robert", "Linda", "Michael", "Barbara",
         "William", "Elizabeth", "David", "Susan", "Richard", "Jessica", "Joseph", "Sarah",
         "Thomas", "Karen", "Charles", "Nancy", "Daniel", "Lisa", "Matthew", "Betty"]
LAST = ["Smith", "Johnson", "Williams", "Brown", "Jones", "Garcia", "Miller", "Davis",
        "Rodriguez", "Martinez", "Hernandez", "Lopez", "Wilson", "Anderson", "Taylor",
        "Thomas", "Moore", "Jackson", "Martin", "Lee", "Thompson", "White", "Harris"]
TOP_NAMES = ["华东区", "华南区", "华北区", "West", "East", "North", "South", "Central",
             "西南区", "Overseas", "东北区", "Pacific"]
MID_NAMES = ["销售部", "Engineering", "财务部", "Marketing", "人力资源部", "Support",
             "研发中心", "Operations", "法务部", "Logistics", "采购部", "Quality"]
LEAF_NAMES = ["一组", "Team A", "二组", "Team B", "三组", "Team C", "四组", "Team D",
              "五组", "Team E", "六组", "Team F"]
TITLES = ["工程师", "经理", "Engineer", "Manager", "主管", "Analyst", "专员", "Director"]


def ldif_line(attr, value):
    """attr: value, or attr:: base64 when LDIF's safe-string rules require it."""
    raw = value.encode("utf-8")
    safe = (raw and raw[0] not in b" :<" and raw[-1:] != b" " and
            all(0x01 <= b <= 0x7f and b not in (0x0a, 0x0d) for b in raw))
    if safe or not raw:
        return f"{attr}: {value}\n"
    return f"{attr}:: {base64.b64encode(raw).decode('ascii')}\n"


def dn_escape(value):
    """Escapes an attribute value for use inside a DN (RFC 4514)."""
    out = []
    for i, ch in enumerate(value):
        if ch in ',+"\\<>;=' or (ch == "#" and i == 0) or (ch == " " and i in (0, len(value) - 1)):
            out.append("\\" + ch)
        else:
            out.append(ch)
    return "".join(out)


class Tree:
    """Three levels of departments; the leaves hold the users, per_ou each at most."""

    def __init__(self, users, base, ou_attr, per_ou):
        leaves = max(1, math.ceil(users / per_ou))
        fan = max(1, math.ceil(leaves ** (1 / 3)))
        self.ous = []      # (dn, name) parents before children
        self.leaves = []   # dns of the departments that hold users
        upper = "OU" if ou_attr == "OU" else "ou"
        for a in range(fan):
            top_name = f"{TOP_NAMES[a % len(TOP_NAMES)]} {a + 1:02d}"
            top = f"{upper}={dn_escape(top_name)},{base}"
            self.ous.append((top, top_name))
            for b in range(fan):
                mid_name = f"{MID_NAMES[b % len(MID_NAMES)]} {a + 1:02d}-{b + 1:02d}"
                mid = f"{upper}={dn_escape(mid_name)},{top}"
                self.ous.append((mid, mid_name))
                for c in range(fan):
                    if len(self.leaves) >= leaves:
                        break
                    leaf_name = f"{LEAF_NAMES[c % len(LEAF_NAMES)]} {a + 1:02d}-{b + 1:02d}-{c + 1:02d}"
                    leaf = f"{upper}={dn_escape(leaf_name)},{mid}"
                    self.ous.append((leaf, leaf_name))
                    self.leaves.append(leaf)
        # Drop the empty branches left over when leaves ran out before the cube was full.
        used = set()
        for leaf in self.leaves:
            dn = leaf
            while dn and dn != base and dn not in used:
                used.add(dn)
                dn = parent_dn(dn)
        self.ous = [(dn, name) for dn, name in self.ous if dn in used]


def parent_dn(dn):
    """The DN after the first unescaped comma."""
    i = 0
    while i < len(dn):
        if dn[i] == "\\":
            i += 2
            continue
        if dn[i] == ",":
            return dn[i + 1:]
        i += 1
    return ""


def people(n, rng, prefix):
    for i in range(n):
        uid = f"{prefix}{i + 1:06d}"
        if rng.random() < 0.5:
            sn = rng.choice(SURNAMES)
            given = rng.choice(GIVEN)
            display = sn + given
        else:
            given = rng.choice(FIRST)
            sn = rng.choice(LAST)
            display = f"{given} {sn}"
        yield i, uid, sn, given, display


def gen_slapd(args, out):
    rng = random.Random(args.seed)
    base = args.base
    if args.root:
        rdn = base.split(",", 1)[0]
        attr, value = rdn.split("=", 1)
        out.write(ldif_line("dn", base))
        if attr.lower() == "o":
            out.write("objectClass: organization\n" + ldif_line("o", value) + "\n")
        else:
            out.write("objectClass: organizationalUnit\n" + ldif_line("ou", value) + "\n")
    tree = Tree(args.users, base, "ou", args.per_ou)
    for dn, name in tree.ous:
        out.write(ldif_line("dn", dn))
        out.write("objectClass: organizationalUnit\n")
        out.write(ldif_line("ou", name))
        out.write("\n")
    members = {leaf: [] for leaf in tree.leaves}
    for i, uid, sn, given, display in people(args.users, rng, args.prefix):
        leaf = tree.leaves[i % len(tree.leaves)]
        dn = f"uid={uid},{leaf}"
        members[leaf].append(dn)
        out.write(ldif_line("dn", dn))
        out.write("objectClass: inetOrgPerson\n")
        out.write(f"uid: {uid}\n")
        out.write(ldif_line("cn", display))
        out.write(ldif_line("sn", sn))
        out.write(ldif_line("givenName", given))
        out.write(ldif_line("displayName", display))
        out.write(f"mail: {uid}@corp.example.com\n")
        out.write(f"mobile: 139{rng.randrange(10**8):08d}\n")
        out.write(f"telephoneNumber: 010-{rng.randrange(10**7):07d}\n")
        out.write(ldif_line("title", rng.choice(TITLES)))
        out.write(f"userPassword: pw-{uid}\n")
        out.write("\n")
    if args.groups:
        for n, leaf in enumerate(tree.leaves):
            if not members[leaf]:
                continue
            out.write(ldif_line("dn", f"cn=group-{n + 1:05d},{parent_dn(leaf)}"))
            out.write("objectClass: groupOfNames\n")
            out.write(f"cn: group-{n + 1:05d}\n")
            for m in members[leaf]:
                out.write(ldif_line("member", m))
            out.write("\n")


def gen_samba(args, out):
    rng = random.Random(args.seed)
    base = args.base
    tree = Tree(args.users, base, "OU", args.per_ou)
    for dn, name in tree.ous:
        out.write(ldif_line("dn", dn))
        out.write("objectClass: top\nobjectClass: organizationalUnit\n\n")
    for i, uid, sn, given, display in people(args.users, rng, args.prefix):
        leaf = tree.leaves[i % len(tree.leaves)]
        out.write(ldif_line("dn", f"CN={dn_escape(display)} {uid},{leaf}"))
        out.write("objectClass: top\nobjectClass: person\nobjectClass: organizationalPerson\n"
                  "objectClass: user\n")
        out.write(f"sAMAccountName: {uid}\n")
        out.write(ldif_line("givenName", given))
        out.write(ldif_line("sn", sn))
        out.write(ldif_line("displayName", display))
        out.write(f"mail: {uid}@corp.example.com\n")
        out.write(f"mobile: 139{rng.randrange(10**8):08d}\n")
        out.write(ldif_line("title", rng.choice(TITLES)))
        out.write("userAccountControl: 544\n\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("kind", choices=["slapd", "samba"])
    parser.add_argument("--users", type=int, required=True)
    parser.add_argument("--base")
    parser.add_argument("--root", action="store_true", help="slapd: include the suffix entry")
    parser.add_argument("--groups", action="store_true", help="slapd: a group per department")
    parser.add_argument("--per-ou", type=int, default=100, help="users per leaf department")
    parser.add_argument("--seed", type=int, default=2007)
    parser.add_argument("--prefix", default="u")
    parser.add_argument("-o", "--output", help="write here instead of standard output")
    args = parser.parse_args()
    if args.users < 0:
        parser.error("--users must not be negative")
    if args.per_ou < 1:
        parser.error("--per-ou must be at least 1")
    if args.base is None:
        args.base = "o=corp" if args.kind == "slapd" else "DC=corp,DC=example,DC=com"
    out = open(args.output, "w", encoding="utf-8", newline="\n") if args.output else \
        open(sys.stdout.fileno(), "w", encoding="utf-8", newline="\n", closefd=False)
    with out:
        out.write("# Generated by bench/gen_directory.py " + " ".join(
            a for a in sys.argv[1:] if a not in ("-o", "--output", args.output)) + "\n\n")
        (gen_slapd if args.kind == "slapd" else gen_samba)(args, out)


if __name__ == "__main__":
    main()
